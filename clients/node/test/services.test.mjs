// MireloServices through the client, against the built program and real peers: private buses
// with dbusmock, HTTPS/WSS/stalling TLS servers on 127.0.0.1 (fixture.py).
import { test, before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { chmodSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { MireloServices, NativeError } from '../esm/index.mjs';
import { cleanEnv, fixture, nextEvent, servicesBinary } from './fixture.mjs';

let peers;
let env;
let services;
const b64 = (text) => Buffer.from(text).toString('base64');

async function launch(options = {}) {
  const client = await MireloServices.launch({ binary: servicesBinary, env, stderr: 'inherit', ...options });
  // Checked after each test: a line the client could not place means a request went astray.
  client.protocolErrors = [];
  client.on('protocol-error', (error) => client.protocolErrors.push(error.message));
  return client;
}

async function rejectsWith(promise, code, message) {
  const error = await promise.then(() => assert.fail(`resolved, expected ${code}`), (e) => e);
  assert.ok(error instanceof NativeError, `not a NativeError: ${error}`);
  assert.equal(error.code, code, error.message);
  if (message !== undefined) assert.equal(error.message, message);
  return error;
}

before(async () => {
  peers = await fixture('desktop');
  const { sessionBus, systemBus, caFile } = peers.info;
  env = cleanEnv({ DBUS_SESSION_BUS_ADDRESS: sessionBus, DBUS_SYSTEM_BUS_ADDRESS: systemBus, SSL_CERT_FILE: caFile });
  services = await launch();
});

afterEach(() => {
  assert.deepEqual(services.protocolErrors, []);
});

after(async () => {
  await services?.stop();
  await peers?.close();
});

test('a round trip of each kind of command', { timeout: 60_000 }, async () => {
  const { https } = peers.info;
  const qr = await services.qrGenerate({ value: 'hello' });
  const card = await services.roomCardEncode({ invitation: 'mirelo://join/#abc', data: qr });
  const cases = [
    ['qrDecode', { data: qr }, 'hello'],
    ['roomCardDecode', { data: card }, 'mirelo://join/#abc'],
    ['httpCancel', { requestId: 'nothing' }, true],
    ['backgroundActivity', { enabled: true }, true],
    ['backgroundActivity', {}, false],
    ['notificationStatus', undefined, { status: 'idle', supported: true }],
    ['notify', { room: 'A', messageId: '1' }, true],
    ['notificationsClear', { room: 'A', messageId: '1' }, true],
    ['http', { url: `${https}/status/201` }, { status: 201, body: b64('status 201') }],
    ['http', { url: `${https}/post`, method: 'POST', body: b64('x') }, { status: 200, body: b64('ok') }],
  ];
  for (const [method, payload, expected] of cases) {
    assert.deepEqual(await services[method](payload), expected, method);
  }
  assert.match(qr, /^data:image\/png;base64,/);
  const normalized = await services.normalizeImage({ data: qr, edge: 64 });
  assert.deepEqual([normalized.width, normalized.height, normalized.type], [64, 64, 'image/png']);
  // Errors of the program come as they are.
  await rejectsWith(services.request('qr-generat', { value: 'x' }), 'REMOTE', '不支持的原生操作');
  await rejectsWith(services.clipboardWriteText({}), 'REMOTE', '剪贴板内容无效');
});

test('a WebSocket: echo as an event, and the server closing it', { timeout: 60_000 }, async () => {
  const socketId = 'w1';
  assert.equal(await services.socketOpen({ url: peers.info.wss, socketId }), true);
  const message = nextEvent(services, 'socket-message', (e) => e.socketId === socketId);
  assert.equal(await services.socketReceive({ socketId }), true);
  assert.equal(await services.socketSend({ socketId, data: 'hi/there' }), true);
  assert.deepEqual(await message, { event: 'socket-message', socketId, data: 'hi/there' });
  const closed = nextEvent(services, 'socket-closed', (e) => e.socketId === socketId);
  await services.socketReceive({ socketId });
  await services.socketSend({ socketId, data: 'close' });
  assert.deepEqual(await closed, { event: 'socket-closed', socketId });
});

test('system events and a notification click from the private buses', { timeout: 60_000 }, async () => {
  for (const [command, event] of [['sleep 1', 'system-sleep'], ['sleep 0', 'system-wake'], ['lock', 'screen-locked']]) {
    const seen = nextEvent(services, event);
    await peers.ask(command);
    assert.deepEqual(await seen, { event });
  }
  assert.equal(await services.notify({ room: 'R/1', messageId: 'm1' }), true);
  const activated = nextEvent(services, 'notification-activate');
  await peers.ask('click-last');
  assert.deepEqual(await activated, { event: 'notification-activate', messageId: 'm1', room: 'R/1' });
});

test('500 concurrent requests are paired with their replies', { timeout: 60_000 }, async () => {
  const run = () => Promise.all(Array.from({ length: 500 }, (_, i) => (i % 10 === 9
    ? services.request('nope').then(() => 'resolved', (e) => `${e.code} ${e.message}`)
    : services.qrGenerate({ value: `value ${i}` }))));
  const [first, second] = [await run(), await run()];
  assert.deepEqual(second, first);
  for (let i = 9; i < 500; i += 10) assert.equal(first[i], 'REMOTE 不支持的原生操作');
  const images = first.filter((_, i) => i % 10 !== 9);
  assert.equal(new Set(images).size, images.length);
  for (const i of [0, 1, 123, 258, 498]) assert.equal(await services.qrDecode({ data: first[i] }), `value ${i}`);
});

test('a 30 MiB request is refused before anything is written', { timeout: 60_000 }, async () => {
  const pid = services.pid;
  // Written, it would be answered {"error":"请求过大","id":""}: a protocol error here.
  await rejectsWith(services.qrGenerate({ value: 'x'.repeat(30 * 1024 * 1024) }), 'TOO_LARGE');
  await rejectsWith(services.qrGenerate({ value: '\u00e9'.repeat(12 * 1024 * 1024 + 1) }), 'TOO_LARGE');
  assert.equal(await services.qrDecode({ data: await services.qrGenerate({ value: 'after' }) }), 'after');
  assert.equal(services.pid, pid);
});

test('the request bound is exact: 25,165,824 bytes are written, one more is refused', { timeout: 60_000 }, async () => {
  const client = await launch();
  try {
    // A fresh client's first ids are "1" and "2": the line's length is known to the byte.
    const overhead = '{"id":"1","command":"qr-generate","payload":{"value":""}}'.length;
    const value = 'x'.repeat(25_165_824 - overhead);
    const written = await client.qrGenerate({ value }).then(() => 'resolved', (e) => e.code);
    assert.equal(written, 'REMOTE');  // parsed by the program, which refuses a text that long
    await rejectsWith(client.qrGenerate({ value: value + 'x' }), 'TOO_LARGE');
    assert.equal(await client.qrDecode({ data: await client.qrGenerate({ value: 'after' }) }), 'after');
    assert.deepEqual(client.protocolErrors, []);
  } finally {
    await client.stop();
  }
});

test('timeouts and aborts end calls locally; an http is cancelled in the program too', { timeout: 60_000 }, async () => {
  const before = (await peers.ask('stall-ended')).ended;
  await rejectsWith(services.http({ url: peers.info.stall, timeout: 60 }, { timeoutMs: 300 }), 'TIMEOUT');
  // Only the http-cancel makes the program drop the stalled connection before its own 60 s.
  const deadline = Date.now() + 20_000;
  while ((await peers.ask('stall-ended')).ended <= before) {
    assert.ok(Date.now() < deadline, 'the stalled connection was never ended');
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  const controller = new AbortController();
  const aborted = services.qrGenerate({ value: 'late' }, { signal: controller.signal });
  controller.abort();
  await rejectsWith(aborted, 'ABORTED');
  await rejectsWith(services.qrGenerate({ value: 'x' }, { signal: AbortSignal.abort() }), 'ABORTED');
  // The late reply of the aborted call is dropped, not taken for another.
  assert.equal(await services.qrDecode({ data: await services.qrGenerate({ value: 'next' }) }), 'next');
});

test('while the child does not read, lines wait in the client for drain; every reply is still paired', { timeout: 60_000 }, async () => {
  const client = await launch();
  try {
    process.kill(client.pid, 'SIGSTOP');
    const ids = Array.from({ length: 200 }, (_, i) => `${i}-`.padEnd(100_000, 'x'));
    const calls = ids.map((requestId) => client.request('http-cancel', { requestId }).then((v) => v));
    await new Promise((resolve) => setTimeout(resolve, 300));
    // 20 MB were asked for; the pipe and the stream hold no more than their buffers and one line.
    const stdin = client['transport']['child'].stdin;
    assert.ok(stdin.writableLength <= stdin.writableHighWaterMark + 100_100, `${stdin.writableLength} bytes in the stream`);
    process.kill(client.pid, 'SIGCONT');
    assert.deepEqual(await Promise.all(calls), ids.map(() => true));
    assert.equal(await client.qrDecode({ data: await client.qrGenerate({ value: 'after' }) }), 'after');
    assert.deepEqual(client.protocolErrors, []);
  } finally {
    await client.stop();
  }
});

test('a child killed mid-call: pending calls reject, it restarts, the next call works', { timeout: 60_000 }, async () => {
  const client = await launch();
  try {
    const oldPid = client.pid;
    const pending = [client.http({ url: peers.info.stall, timeout: 60 }), client.http({ url: peers.info.stall, timeout: 60 })];
    await client.qrGenerate({ value: 'the http lines were read' });
    const restarted = once(client, 'restarted');
    process.kill(oldPid, 'SIGKILL');
    for (const call of pending) await rejectsWith(call, 'EXITED');
    await rejectsWith(client.qrGenerate({ value: 'in the gap' }), 'EXITED');
    const [info] = await restarted;
    assert.deepEqual(info, { code: null, signal: 'SIGKILL' });
    assert.ok(client.pid && client.pid !== oldPid);
    assert.equal(await client.qrDecode({ data: await client.qrGenerate({ value: 'again' }) }), 'again');
  } finally {
    await client.stop();
  }
});

test('stop ends the child, fails what was pending, and nothing restarts', { timeout: 60_000 }, async () => {
  const client = await launch();
  const pid = client.pid;
  let restarted = false;
  client.on('restarted', () => { restarted = true; });
  const pending = client.http({ url: peers.info.stall, timeout: 60 });
  await client.qrGenerate({ value: 'read' });
  const exit = once(client, 'exit');
  await client.stop();
  assert.deepEqual((await exit)[0], { code: 0, signal: null });
  assert.equal(client.pid, undefined);
  assert.throws(() => process.kill(pid, 0), { code: 'ESRCH' });
  await rejectsWith(pending, 'EXITED');
  await rejectsWith(client.qrGenerate({ value: 'x' }), 'EXITED');
  await client.stop();
  await new Promise((resolve) => setTimeout(resolve, 1000));
  assert.equal(restarted, false);
});

test('a child that keeps crashing is given up with an error event', { timeout: 60_000 }, async () => {
  const client = await MireloServices.launch({ binary: '/bin/false' });
  const restarts = [];
  client.on('restarted', (info) => restarts.push([Date.now(), info]));
  const started = Date.now();
  const [error] = await once(client, 'error');
  assert.ok(error instanceof NativeError && error.code === 'EXITED', String(error));
  assert.equal(restarts.length, 4);
  for (const [, info] of restarts) assert.deepEqual(info, { code: 1, signal: null });
  // Back-off: 250 ms doubling, each ±20 %.
  const gaps = restarts.map(([t], i) => t - (i ? restarts[i - 1][0] : started));
  gaps.forEach((gap, i) => assert.ok(gap >= 250 * 2 ** i * 0.8 - 20, `gap ${i}: ${gap} ms`));
  await rejectsWith(client.idle(), 'EXITED');
  await client.stop();
});

test('a child whose input is gone: calls reject with EXITED, no unhandled error', { timeout: 60_000 }, async () => {
  const folder = mkdtempSync(path.join(tmpdir(), 'mirelo-node-'));
  try {
    const script = path.join(folder, 'closes-input');
    writeFileSync(script, '#!/bin/sh\nexec 0<&-\nexec sleep 30\n');
    chmodSync(script, 0o755);
    const client = await MireloServices.launch({ binary: script, restart: false });
    await new Promise((resolve) => setTimeout(resolve, 300));
    const exit = once(client, 'exit');
    await rejectsWith(client.qrGenerate({ value: 'x'.repeat(1 << 20) }), 'EXITED');
    await exit;
    await rejectsWith(client.idle(), 'EXITED');
  } finally {
    rmSync(folder, { recursive: true, force: true });
  }
});

test('lines the client cannot place: an overlong reply fails its call, others are protocol errors', { timeout: 60_000 }, async () => {
  // A stand-in child, to write what the program never does: each request gets the line its
  // payload's "answer" names.
  const folder = mkdtempSync(path.join(tmpdir(), 'mirelo-node-'));
  try {
    const script = path.join(folder, 'lines');
    writeFileSync(script, `#!/usr/bin/python3
import json, sys
for line in sys.stdin:
    request = json.loads(line)
    answer, rid = request["payload"]["answer"], request["id"]
    if answer == "huge":
        sys.stdout.write('{"id":%s,"value":"' % json.dumps(rid) + "x" * (145 << 20) + '"}\\n')
    elif answer == "garbage":
        sys.stdout.write('not json\\n{"id":"nobody","value":1}\\n{"value":2}\\n')
    sys.stdout.write(json.dumps({"id": rid, "value": answer}) + "\\n")
    sys.stdout.flush()
`);
    chmodSync(script, 0o755);
    const client = await MireloServices.launch({ binary: script, restart: false });
    const errors = [];
    client.on('protocol-error', (e) => errors.push(e.message));
    const error = await rejectsWith(client.request('echo', { answer: 'huge' }), 'PROTOCOL');
    assert.match(error.message, /over the client's/);
    // The rest of that request's output (its second reply) is unplaceable: the call was settled.
    assert.equal(await client.request('echo', { answer: 'garbage' }), 'garbage');
    assert.equal(errors.length, 4, errors.join('; '));
    assert.match(errors.join(';'), /replied to no pending request.*not JSON.*no pending request.*neither/);
    await client.stop();
  } finally {
    rmSync(folder, { recursive: true, force: true });
  }
});

