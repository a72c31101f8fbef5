// The command table against the programs' README, and what is made from it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import * as esm from '../esm/index.mjs';
import { repository } from './fixture.mjs';

const { MireloServices, SolvaNearby, servicesCommands, nearbyCommands, nearbyEvents, camelCase } = esm;
const readme = readFileSync(path.join(repository, 'README.md'), 'utf8');
const names = (text) => [...text.matchAll(/`([^`]+)`/g)].map((m) => m[1]);

test('every MireloServices command of the README is in the table, and only those', () => {
  const sentence = /Every command of MireloServices is served:([^]*?)any other name/.exec(readme);
  assert.ok(sentence, 'the README no longer lists the commands');
  const listed = names(sentence[1]);
  assert.ok(listed.length > 20);
  assert.deepEqual([...listed].sort(), Object.keys(servicesCommands).sort());
});

test('every SolvaNearby command and event of the README is in the tables', () => {
  const section = /## SolvaNearby in brief([^]*?)\n## /.exec(readme);
  assert.ok(section, 'the README has no SolvaNearby section');
  const notProtocol = new Set(['SolvaNearby', 'v', 'r', 'p', 'm', '_solvantio._tcp']);  // TXT keys, the service type
  const listed = names(section[1]).filter((n) => !notProtocol.has(n));
  for (const name of listed) assert.ok(name in nearbyCommands || name in nearbyEvents, `${name} is in no table`);
  for (const name of Object.keys(nearbyCommands)) assert.ok(listed.includes(name), `${name} is not in the README`);
});

test('one method per command, from the table', () => {
  assert.equal(camelCase('room-card-save-file'), 'roomCardSaveFile');
  for (const name of Object.keys(servicesCommands)) {
    assert.equal(typeof MireloServices.prototype[camelCase(name)], 'function', name);
  }
  for (const name of ['start', 'discovery', 'connect', 'close', 'send', 'stop']) {
    assert.equal(typeof SolvaNearby.prototype[name], 'function', name);
  }
});

test('the ESM entry is the CommonJS build, every export included', () => {
  const cjs = createRequire(import.meta.url)('../dist/cjs/index.js');
  for (const key of Object.keys(cjs)) assert.equal(esm[key], cjs[key], key);
  assert.equal(esm.default, cjs);
});

test('npm pack gives the built CommonJS with its types and the ESM entry', () => {
  const out = execFileSync('npm', ['pack', '--dry-run', '--json', '--ignore-scripts'], { cwd: path.join(repository, 'clients', 'node'), encoding: 'utf8' });
  const files = JSON.parse(out)[0].files.map((f) => f.path);
  for (const file of ['dist/cjs/index.js', 'dist/cjs/index.d.ts', 'dist/cjs/protocol.d.ts', 'esm/index.mjs', 'esm/index.d.mts', 'README.md']) {
    assert.ok(files.includes(file), `${file} is not in the package: ${files.join(' ')}`);
  }
  assert.ok(!files.some((f) => f.startsWith('src/') || f.startsWith('test/')), files.join(' '));
});
