// Where the programs are looked for, in order, with real files.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { chmodSync, cpSync, existsSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { createRequire } from 'node:module';
import path from 'node:path';
import { resolveBinary } from '../esm/index.mjs';
import { repository } from './fixture.mjs';

function withEnv(vars, fn) {
  const saved = {};
  for (const [key, value] of Object.entries(vars)) {
    saved[key] = process.env[key];
    if (value === undefined) delete process.env[key]; else process.env[key] = value;
  }
  try { return fn(); } finally {
    for (const [key, value] of Object.entries(saved)) {
      if (value === undefined) delete process.env[key]; else process.env[key] = value;
    }
  }
}

test('option, environment, resources/bin, then the build tree; errors list every place', () => {
  const folder = mkdtempSync(path.join(tmpdir(), 'mirelo-resolve-'));
  try {
    const make = (file, mode = 0o755) => {
      mkdirSync(path.dirname(file), { recursive: true });
      writeFileSync(file, '#!/bin/sh\n');
      chmodSync(file, mode);
      return file;
    };
    const option = make(path.join(folder, 'option', 'MireloServices'));
    const fromEnv = make(path.join(folder, 'env', 'SolvaNearby'));
    const resources = path.join(folder, 'resources');
    const bundled = make(path.join(resources, 'bin', 'MireloServices'));
    const notExecutable = make(path.join(folder, 'plain', 'MireloServices'), 0o644);
    process.resourcesPath = resources;
    try {
      withEnv({ MIRELO_SERVICES: undefined, SOLVA_NEARBY: fromEnv }, () => {
        assert.equal(resolveBinary('MireloServices', option), option);
        assert.equal(resolveBinary('SolvaNearby'), fromEnv);
        assert.equal(resolveBinary('MireloServices'), bundled);
      });
      withEnv({ MIRELO_SERVICES: notExecutable }, () => {
        // A path given on purpose that is not a program is an error, not a reason to look elsewhere.
        assert.throws(() => resolveBinary('MireloServices'), (e) => e.message.includes(notExecutable) && e.message.includes('$MIRELO_SERVICES'));
      });
    } finally {
      delete process.resourcesPath;
    }
    withEnv({ MIRELO_SERVICES: undefined, SOLVA_NEARBY: undefined }, () => {
      const inTree = path.join(repository, 'build', 'nearby', 'SolvaNearby');
      if (existsSync(inTree)) assert.equal(resolveBinary('SolvaNearby'), inTree);
      // The same build copied where no build tree lies beside it: nothing is found, every place named.
      const copy = path.join(folder, 'a', 'b', 'c', 'dist', 'cjs');
      cpSync(path.join(repository, 'clients', 'node', 'dist', 'cjs'), copy, { recursive: true });
      const { resolveBinary: isolated } = createRequire(import.meta.url)(path.join(copy, 'index.js'));
      process.resourcesPath = path.join(folder, 'nowhere');
      try {
        const error = (() => { try { return isolated('MireloServices'); } catch (e) { return e; } })();
        assert.ok(error instanceof Error, `found ${error}`);
        for (const place of [path.join(folder, 'nowhere', 'bin', 'MireloServices'), '/usr/libexec/mirelo/MireloServices',
          path.join(folder, 'a', 'build', 'services', 'MireloServices')]) {
          assert.ok(error.message.includes(place), error.message);
        }
      } finally {
        delete process.resourcesPath;
      }
    });
  } finally {
    rmSync(folder, { recursive: true, force: true });
  }
});
