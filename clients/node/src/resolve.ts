// Where the programs are found: the caller's path, the environment, an Electron app's resources,
// the installed location, then this repository's own build tree. The first executable file wins;
// when none is, the error lists every place looked at.

import { accessSync, constants, statSync } from 'node:fs';
import { join, resolve } from 'node:path';

export type ProgramName = 'MireloServices' | 'SolvaNearby';

const ENVIRONMENT: Record<ProgramName, string> = {
  MireloServices: 'MIRELO_SERVICES',
  SolvaNearby: 'SOLVA_NEARBY',
};
const BUILD_FOLDER: Record<ProgramName, string> = {
  MireloServices: 'services',
  SolvaNearby: 'nearby',
};

export const INSTALLED_DIR = '/usr/libexec/mirelo';

function executable(path: string): boolean {
  try {
    accessSync(path, constants.X_OK);
    return statSync(path).isFile();
  } catch {
    return false;
  }
}

/** The candidates in order, each with where it came from. */
export function binaryCandidates(name: ProgramName, binary?: string): { path: string; from: string }[] {
  const candidates: { path: string; from: string }[] = [];
  if (binary) candidates.push({ path: binary, from: 'the binary option' });
  const fromEnv = process.env[ENVIRONMENT[name]];
  if (fromEnv) candidates.push({ path: fromEnv, from: `$${ENVIRONMENT[name]}` });
  const resourcesPath = (process as { resourcesPath?: unknown }).resourcesPath;
  if (typeof resourcesPath === 'string' && resourcesPath) {
    candidates.push({ path: join(resourcesPath, 'bin', name), from: 'process.resourcesPath/bin' });
  }
  candidates.push({ path: join(INSTALLED_DIR, name), from: 'the installed programs' });
  // dist/cjs/ of clients/node/ in the repository.
  candidates.push({ path: resolve(__dirname, '..', '..', '..', '..', 'build', BUILD_FOLDER[name], name), from: 'the build tree' });
  return candidates;
}

/**
 * The path of `name`: the given path, then $MIRELO_SERVICES / $SOLVA_NEARBY, then
 * process.resourcesPath + '/bin/', then /usr/libexec/mirelo/, then the repository's build/.
 * A path given explicitly (option or environment) that is not executable is an error, not skipped.
 */
export function resolveBinary(name: ProgramName, binary?: string): string {
  const candidates = binaryCandidates(name, binary);
  const looked: string[] = [];
  for (const [index, candidate] of candidates.entries()) {
    if (executable(candidate.path)) return candidate.path;
    looked.push(`${candidate.path} (${candidate.from})`);
    const explicit = index === 0 && (binary || process.env[ENVIRONMENT[name]]);
    if (explicit) break;
  }
  throw new Error(`${name} was not found as an executable file; looked at: ${looked.join(', ')}`);
}
