// The Node side of fixture.py: start it, read its description, ask it things, end it.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const here = path.dirname(fileURLToPath(import.meta.url));
export const repository = path.resolve(here, '..', '..', '..');
export const servicesBinary = process.env.MIRELO_SERVICES || path.join(repository, 'build', 'services', 'MireloServices');
export const nearbyBinary = process.env.SOLVA_NEARBY || path.join(repository, 'build', 'nearby', 'SolvaNearby');

/** An environment without the caller's desktop, as the C++ tests' clean_env(). */
export function cleanEnv(extra = {}) {
  const env = { ...process.env };
  for (const key of ['DISPLAY', 'WAYLAND_DISPLAY', 'DBUS_SESSION_BUS_ADDRESS', 'XDG_RUNTIME_DIR']) delete env[key];
  env.DBUS_SYSTEM_BUS_ADDRESS = 'unix:path=/nonexistent/system_bus_socket';
  return { ...env, ...extra };
}

export async function fixture(mode, { timeoutMs = 120_000 } = {}) {
  const child = spawn('/usr/bin/python3', [path.join(here, 'fixture.py'), mode], {
    stdio: ['pipe', 'pipe', 'inherit'],
    // Its own tools (dbus-send in a host's namespace) take the system bus from where they run.
    env: (({ DBUS_SYSTEM_BUS_ADDRESS, ...rest }) => ({ ...rest, PYTHONDONTWRITEBYTECODE: '1' }))(cleanEnv()),
  });
  const lines = createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  const next = async () => {
    let timer;
    const timeout = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`fixture ${mode}: no answer`)), timeoutMs); });
    try {
      const { value, done } = await Promise.race([lines.next(), timeout]);
      if (done) throw new Error(`fixture ${mode} ended`);
      return JSON.parse(value);
    } finally {
      clearTimeout(timer);
    }
  };
  const info = await next();
  return {
    info,
    async ask(command) {
      child.stdin.write(command + '\n');
      return next();
    },
    async close() {
      if (child.exitCode !== null) return;
      const exited = once(child, 'exit');
      child.stdin.end();
      const timer = setTimeout(() => child.kill('SIGKILL'), 60_000);
      await exited;
      clearTimeout(timer);
    },
  };
}

/** The first `event` for which `match` holds, within `ms`. */
export function nextEvent(emitter, event, match = () => true, ms = 20_000) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => { emitter.off(event, listener); reject(new Error(`no "${event}" within ${ms} ms`)); }, ms);
    function listener(value) {
      if (!match(value)) return;
      clearTimeout(timer);
      emitter.off(event, listener);
      resolve(value);
    }
    emitter.on(event, listener);
  });
}
