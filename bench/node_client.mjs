// The Node client's cost over a bare child_process line loop, both against the same built
// MireloServices in the same run: sequential round trips of a command that answers at once
// (http-cancel), and 500 requests in flight at a time. Goals: the client adds < 10 µs per round
// trip; 500 concurrent small requests give >= 50,000 replies/s.
//
//   (cd clients/node && npm ci)      # builds the client
//   node bench/node_client.mjs [build-dir] [round-trips] [batches]
import { spawn } from 'node:child_process';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { MireloServices } from '../clients/node/esm/index.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const buildDir = path.resolve(root, process.argv[2] ?? 'build-release');
const roundTrips = Number(process.argv[3] ?? 20_000);
const batches = Number(process.argv[4] ?? 40);
const binary = path.join(buildDir, 'services', 'MireloServices');
const env = { PATH: process.env.PATH, DBUS_SYSTEM_BUS_ADDRESS: 'unix:path=/nonexistent' };
const CONCURRENT = 500;

/** The reference: the program driven with nothing but a pipe and a split on "\n". */
function rawLoop() {
  const child = spawn(binary, [], { stdio: ['pipe', 'pipe', 'ignore'], env });
  let buffered = '';
  let waiting = new Map();
  child.stdout.setEncoding('utf8');
  child.stdout.on('data', (text) => {
    buffered += text;
    let newline;
    while ((newline = buffered.indexOf('\n')) >= 0) {
      const reply = JSON.parse(buffered.slice(0, newline));
      buffered = buffered.slice(newline + 1);
      const resolve = waiting.get(reply.id);
      waiting.delete(reply.id);
      resolve(reply.value);
    }
  });
  let next = 1;
  return {
    call() {
      const id = String(next++);
      return new Promise((resolve) => {
        waiting.set(id, resolve);
        child.stdin.write(`{"id":"${id}","command":"http-cancel","payload":{"requestId":"x"}}\n`);
      });
    },
    stop() {
      child.stdin.end();
      return new Promise((resolve) => child.once('exit', resolve));
    },
  };
}

async function sequential(call, count) {
  const start = process.hrtime.bigint();
  for (let i = 0; i < count; i++) await call();
  return Number(process.hrtime.bigint() - start) / 1000 / count;  // µs per round trip
}

async function concurrent(call, count) {
  const start = process.hrtime.bigint();
  for (let b = 0; b < count; b++) await Promise.all(Array.from({ length: CONCURRENT }, call));
  return (count * CONCURRENT) / (Number(process.hrtime.bigint() - start) / 1e9);  // replies/s
}

const median = (values) => [...values].sort((x, y) => x - y)[Math.floor(values.length / 2)];

const raw = rawLoop();
const client = await MireloServices.launch({ binary, env });
const viaClient = () => client.httpCancel({ requestId: 'x' });
// Warm both, then alternate so that a load change on the machine hits both alike.
await sequential(raw.call, 2000);
await sequential(viaClient, 2000);
const rounds = { raw: [], client: [], rawRate: [], clientRate: [] };
for (let r = 0; r < 5; r++) {
  rounds.raw.push(await sequential(raw.call, roundTrips / 5));
  rounds.client.push(await sequential(viaClient, roundTrips / 5));
  rounds.rawRate.push(await concurrent(raw.call, batches / 5));
  rounds.clientRate.push(await concurrent(viaClient, batches / 5));
}
await client.stop();
await raw.stop();

const [rawUs, clientUs] = [median(rounds.raw), median(rounds.client)];
const [rawRate, clientRate] = [median(rounds.rawRate), median(rounds.clientRate)];
const added = clientUs - rawUs;
console.log(`binary: ${binary}; ${roundTrips} round trips, ${batches} batches of ${CONCURRENT}; medians of 5 alternating rounds`);
console.log('| | raw child_process loop | client | client adds | goal |');
console.log('|---|---|---|---|---|');
console.log(`| round trip, one at a time | ${rawUs.toFixed(1)} µs | ${clientUs.toFixed(1)} µs | ${added.toFixed(1)} µs | < 10 µs: ${added < 10 ? 'met' : 'missed'} |`);
console.log(`| ${CONCURRENT} in flight | ${Math.round(rawRate)} replies/s | ${Math.round(clientRate)} replies/s | | >= 50,000/s: ${clientRate >= 50_000 ? 'met' : 'missed'} |`);
