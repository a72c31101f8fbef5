// The bounded line splitter, over every way a stream can be cut into chunks.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { LineSplitter } from '../esm/index.mjs';

function split(max, chunks) {
  const out = [];
  const splitter = new LineSplitter(max, {
    line: (text) => out.push(text),
    overflow: (head, length) => out.push({ head: head.toString(), length }),
  });
  for (const chunk of chunks) splitter.push(Buffer.from(chunk));
  return { out, pending: splitter.pending };
}

test('lines come out whole however the bytes are cut', () => {
  const stream = Buffer.from('{"a":1}\n\n{"b":"é"}\nlast-unfinished');
  for (let cut = 0; cut <= stream.length; cut += 1) {
    for (let cut2 = cut; cut2 <= stream.length; cut2 += 3) {
      const { out, pending } = split(64, [stream.subarray(0, cut), stream.subarray(cut, cut2), stream.subarray(cut2)]);
      assert.deepEqual(out, ['{"a":1}', '', '{"b":"é"}'], `cuts ${cut} ${cut2}`);
      assert.equal(pending, 'last-unfinished'.length);
    }
  }
});

test('the bound: a line of exactly max bytes passes, one byte more is skipped and reading goes on', () => {
  const cases = [
    // [max, chunks, expected]
    [4, ['abcd\n'], ['abcd']],
    [4, ['abcde\nok\n'], [{ head: 'abcde', length: 5 }, 'ok']],
    [4, ['ab', 'cd', 'e', 'fgh', '\nok\n'], [{ head: 'abcdefgh', length: 8 }, 'ok']],
    [4, ['abcdefgh'], []],
    [4, ['abcdefgh', 'ijk\n', 'x\n'], [{ head: 'abcdefghijk', length: 11 }, 'x']],
    [3, ['é\n', 'éé\n', 'ok\n'], ['é', { head: 'éé', length: 4 }, 'ok']],
  ];
  for (const [max, chunks, expected] of cases) {
    assert.deepEqual(split(max, chunks).out, expected, JSON.stringify(chunks));
  }
});

test('an overlong line keeps only its head in memory', () => {
  const { out, pending } = split(1024, ['x'.repeat(4096), 'y'.repeat(1 << 20)]);
  assert.deepEqual(out, []);
  assert.equal(pending, 0);
  const { out: after } = split(16, ['z'.repeat(1000), '\n']);
  assert.equal(after[0].head.length, 256);
  assert.equal(after[0].length, 1000);
});
