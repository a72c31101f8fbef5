// SolvaNearby through the client: alone (no daemon), and two of them on two hosts in network
// namespaces with their own avahi-daemon (fixture.py hosts), with a channel between them.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { SolvaNearby, NativeError } from '../esm/index.mjs';
import { cleanEnv, fixture, nearbyBinary, nextEvent } from './fixture.mjs';

async function rejectsWith(promise, code, message) {
  const error = await promise.then(() => assert.fail(`resolved, expected ${code}`), (e) => e);
  assert.ok(error instanceof NativeError, `not a NativeError: ${error}`);
  assert.equal(error.code, code, error.message);
  if (message !== undefined) assert.equal(error.message, message);
  return error;
}

const txt = (m) => ({ v: '1', r: 'room', p: 'pk', m });

test('alone: error events, a command over the line bound refused locally, stop', { timeout: 60_000 }, async () => {
  const nearby = await SolvaNearby.launch({ binary: nearbyBinary, env: cleanEnv(), stderr: 'inherit' });
  const pid = nearby.pid;
  const error = nextEvent(nearby, 'error');
  nearby.discovery({ enabled: true, windowId: 'w' });
  assert.deepEqual(await error, { event: 'error', code: 'NOT_STARTED' });
  // The program would end on such a line; the client does not write it.
  assert.throws(() => nearby.start({ name: 'x'.repeat(3 << 20), txt: txt('m') }), (e) => e instanceof NativeError && e.code === 'TOO_LARGE');
  await rejectsWith(nearby.send({ connectionId: 'none', data: Buffer.from('x') }), 'PROTOCOL');
  const invalid = nextEvent(nearby, 'error');
  nearby.start({ name: 'short', txt: txt('m') });
  assert.deepEqual(await invalid, { event: 'error', code: 'INVALID_START' });
  assert.equal(nearby.pid, pid);
  const stopped = nextEvent(nearby, 'stopped');
  await nearby.stop();
  await stopped;
  assert.equal(nearby.pid, undefined);
  assert.throws(() => nearby.discovery({ enabled: true, windowId: 'w' }), (e) => e.code === 'EXITED');
});

let hosts;
after(async () => {
  await hosts?.close();
});

test('two hosts: a channel, sends resolving on "sent", and rejecting when the channel closes first', { timeout: 180_000 }, async (t) => {
  hosts = await fixture('hosts');
  if (hosts.info.skip) {
    t.skip(hosts.info.skip);
    return;
  }
  const env = cleanEnv({ DBUS_SYSTEM_BUS_ADDRESS: 'unix:path=/run/dbus/system_bus_socket' });
  const a = await SolvaNearby.launch({ binary: hosts.info.hosta.binary, env, stderr: 'inherit' });
  const b = await SolvaNearby.launch({ binary: hosts.info.hostb.binary, env, stderr: 'inherit' });
  try {
    const found = nextEvent(a, 'found', (e) => e.txt.m === 'node-peer-b', 60_000);
    a.start({ name: 'node-peer-a', txt: txt('node-peer-a') });
    b.start({ name: 'node-peer-b', txt: txt('node-peer-b') });
    const { endpointId } = await found;

    const inbound = nextEvent(b, 'connection-ready', (e) => e.outbound === false, 30_000);
    const ready = nextEvent(a, 'connection-ready', (e) => e.connectionId === 'c1', 30_000);
    a.connect({ connectionId: 'c1', endpointId });
    assert.deepEqual(await ready, { event: 'connection-ready', connectionId: 'c1', outbound: true });
    const peerId = (await inbound).connectionId;

    // Bytes both ways; each send resolves on its own "sent".
    const payload = randomBytes(200_000);
    const chunks = [];
    let received = 0;
    const allThere = new Promise((resolve) => b.on('data', (e) => {
      if (e.connectionId !== peerId) return;
      const bytes = Buffer.from(e.data, 'base64');
      chunks.push(bytes);
      received += bytes.length;
      if (received >= payload.length) resolve();
    }));
    await Promise.all([
      a.send({ connectionId: 'c1', data: payload.subarray(0, 100_000) }),
      a.send({ connectionId: 'c1', data: new Uint8Array(payload.subarray(100_000)), requestId: 'same' }),
    ]);
    await allThere;
    assert.ok(Buffer.concat(chunks).equals(payload));
    const back = nextEvent(a, 'data', (e) => e.connectionId === 'c1');
    await b.send({ connectionId: peerId, data: Buffer.from('pong'), requestId: 'same' });
    assert.equal(Buffer.from((await back).data, 'base64').toString(), 'pong');

    // Refused locally, and the channel lives on.
    await rejectsWith(a.send({ connectionId: 'c1', data: Buffer.alloc(786_437) }), 'TOO_LARGE');
    await a.send({ connectionId: 'c1', data: Buffer.alloc(786_436) });

    // A second connect under an open id is refused by the program; the channel stays.
    const refused = nextEvent(a, 'connection-closed', (e) => e.connectionId === 'c1');
    a.connect({ connectionId: 'c1', endpointId });
    assert.deepEqual(await refused, { event: 'connection-closed', connectionId: 'c1', code: 'ENDPOINT_UNAVAILABLE' });
    await a.send({ connectionId: 'c1', data: Buffer.from('still open') });

    // A send the program refuses closes its channel: the send rejects with the close's code.
    const ready2 = nextEvent(a, 'connection-ready', (e) => e.connectionId === 'c2', 30_000);
    a.connect({ connectionId: 'c2', endpointId });
    await ready2;
    const refusedSend = a.send({ connectionId: 'c2', data: Buffer.from('x'), requestId: 'r'.repeat(65) });
    const error = await rejectsWith(refusedSend, 'REMOTE', 'INVALID_WRITE');
    assert.deepEqual(error.event, { event: 'connection-closed', connectionId: 'c2', code: 'INVALID_WRITE' });
    await rejectsWith(a.send({ connectionId: 'c2', data: Buffer.from('x') }), 'PROTOCOL');

    // Closed by the peer: sends after it are refused at once.
    const closed = nextEvent(a, 'connection-closed', (e) => e.connectionId === 'c1');
    b.close({ connectionId: peerId });
    assert.deepEqual(await closed, { event: 'connection-closed', connectionId: 'c1' });
    await rejectsWith(a.send({ connectionId: 'c1', data: Buffer.from('x') }), 'PROTOCOL');

    // Pending sends when the child ends reject with EXITED.
    const inbound2 = nextEvent(b, 'connection-ready', (e) => e.outbound === false, 30_000);
    const ready3 = nextEvent(a, 'connection-ready', (e) => e.connectionId === 'c3', 30_000);
    a.connect({ connectionId: 'c3', endpointId });
    await ready3;
    await inbound2;
    const unacknowledged = Array.from({ length: 4 }, () => a.send({ connectionId: 'c3', data: Buffer.alloc(500_000) }).then(() => 'sent', (e) => e.code));
    process.kill(a.pid, 'SIGKILL');
    for (const outcome of await Promise.all(unacknowledged)) assert.ok(['sent', 'EXITED'].includes(outcome), outcome);
  } finally {
    await Promise.all([a.stop(), b.stop()]);
  }
});
