// LineTransport: one of our programs as a child process, one line each way. It spawns the child,
// splits its standard output into bounded lines (reading it always, whatever the host does with
// them), writes lines in the order given while honouring the pipe's back-pressure, and restarts
// the child after a crash with a capped, jittered back-off. The clients above it own the meaning
// of lines; this file knows only lines, children and their ends.

import { spawn, type ChildProcess } from 'node:child_process';
import { NativeError } from './errors';
import { LineSplitter } from './lines';

export interface ExitInfo {
  code: number | null;
  signal: NodeJS.Signals | null;
}

/** What both clients emit of their own, beside the program's events. */
export interface ClientEvents {
  /** After a crash, once the new child runs; carries the crashed child's end. */
  restarted: ExitInfo;
  /** Every end of a child, crash or stop. */
  exit: ExitInfo;
  /** A line outside the protocol; it was dropped. */
  'protocol-error': NativeError;
  /** The child crashed too often (or, without restarts, once) and is not restarted again. */
  error: NativeError;
}

export interface TransportOptions {
  /** For messages: the program's name. */
  name: string;
  binary: string;
  /** The child's whole environment (as child_process takes it); the host's when absent. */
  env?: NodeJS.ProcessEnv;
  restart: boolean;
  /** Longest line the program reads, newline not counted. */
  maxWrite: number;
  /** Longest line the program writes, newline not counted. */
  maxRead: number;
  stderr: 'ignore' | 'inherit';
}

export interface TransportHandlers {
  line(text: string): void;
  overflow(head: Buffer, length: number): void;
  /** The child has ended and all its output was read, or its input is gone: fail what waits on it. */
  lost(info: ExitInfo): void;
  /** The child ended (after lost). */
  exit(info: ExitInfo): void;
  /** A new child runs after a crash of the one before. */
  restarted(info: ExitInfo): void;
  /** Crashed too often; no more restarts. */
  gaveUp(error: NativeError): void;
}

/** A line handed to write(); `written` once it has gone to the pipe, `dropped` to skip it. */
export interface Ticket {
  written: boolean;
  dropped: boolean;
}

export const RESTART = {
  firstDelayMs: 250,
  maxDelayMs: 30_000,
  /** A child that ran this long without crashing starts the back-off over. */
  stableMs: 60_000,
  maxCrashes: 5,
  windowMs: 180_000,
};

/** How long the end of a child's output may trail its exit (a grandchild holding the pipe). */
const OUTPUT_GRACE_MS = 2_000;
/** How long a child whose input broke may take to exit by itself. */
const INPUT_GONE_GRACE_MS = 1_000;
/** How long stop() waits for the child before killing it. */
const STOP_BOUND_MS = 5_000;

type State = 'running' | 'restarting' | 'stopping' | 'stopped' | 'failed';

interface Queued {
  line: string;
  ticket: Ticket | undefined;
}

export class LineTransport {
  private child: ChildProcess | undefined;
  private state: State = 'running';
  private inputOk = false;
  private blocked = false;
  private corked = false;
  private queue: Queued[] = [];
  private queueHead = 0;
  private crashes: number[] = [];
  private streak = 0;
  private spawnedAt = 0;
  private restartTimer: NodeJS.Timeout | undefined;
  private stopWaiters: (() => void)[] = [];
  private stopPromise: Promise<void> | undefined;

  constructor(private readonly options: TransportOptions, private readonly handlers: TransportHandlers) {}

  /** Spawns the first child; rejects when it cannot be started. */
  start(): Promise<void> {
    return new Promise((resolve, reject) => {
      this.spawnChild(() => resolve(), (error) => {
        this.state = 'failed';
        reject(new NativeError('EXITED', `${this.options.name} could not be started from ${this.options.binary}: ${error.message}`, { cause: error }));
      });
    });
  }

  get pid(): number | undefined {
    return this.child?.pid;
  }

  /** Whether a line written now reaches a running child. */
  get writable(): boolean {
    const stdin = this.child?.stdin;
    return this.state === 'running' && this.inputOk && !!stdin && !stdin.destroyed && !stdin.writableEnded;
  }

  /** Why a line cannot be written now (when !writable). */
  notWritableReason(): string {
    switch (this.state) {
      case 'restarting': return `${this.options.name} is restarting after a crash`;
      case 'stopping':
      case 'stopped': return `${this.options.name} was stopped`;
      case 'failed': return `${this.options.name} is not running`;
      default: return `${this.options.name}'s input is closed`;
    }
  }

  /** Queues one line (with its "\n"); the caller checked writable and the size. */
  write(line: string, ticket?: Ticket): void {
    if (this.blocked) {
      this.queue.push({ line, ticket });
      return;
    }
    this.put(line, ticket);
  }

  /**
   * Ends the child on purpose: writes `line` (the program's stop command), closes its input and
   * waits for its exit, killing it when that takes longer than a few seconds. No restart follows.
   */
  stop(line?: string): Promise<void> {
    if (this.stopPromise) return this.stopPromise;
    const child = this.child;
    const wasRunning = this.state === 'running' && child !== undefined;
    if (this.restartTimer) clearTimeout(this.restartTimer);
    this.restartTimer = undefined;
    if (!wasRunning || !child) {
      this.state = 'stopped';
      this.stopPromise = Promise.resolve();
      return this.stopPromise;
    }
    this.stopPromise = new Promise<void>((resolve) => this.stopWaiters.push(resolve));
    if (line !== undefined && this.inputOk) this.write(line);
    this.state = 'stopping';
    if (this.inputOk && this.queue.length === this.queueHead) child.stdin?.end();
    const killer = setTimeout(() => child.kill('SIGKILL'), STOP_BOUND_MS);
    this.stopPromise.then(() => clearTimeout(killer));
    return this.stopPromise;
  }

  private put(line: string, ticket: Ticket | undefined): void {
    const stdin = this.child!.stdin!;
    if (!this.corked) {
      // Lines written in one turn of the event loop go out in one writev.
      this.corked = true;
      stdin.cork();
      process.nextTick(() => {
        this.corked = false;
        stdin.uncork();
      });
    }
    if (ticket) ticket.written = true;
    if (!stdin.write(line)) {
      this.blocked = true;
      stdin.once('drain', this.drained);
    }
  }

  private readonly drained = (): void => {
    this.blocked = false;
    while (!this.blocked && this.queueHead < this.queue.length) {
      const next = this.queue[this.queueHead++]!;
      if (next.ticket?.dropped) continue;
      this.put(next.line, next.ticket);
    }
    if (this.queueHead === this.queue.length) {
      this.queue = [];
      this.queueHead = 0;
      if (this.state === 'stopping' && this.inputOk) this.child?.stdin?.end();
    }
  };

  private spawnChild(spawned: () => void, failed: (error: Error) => void): void {
    let child: ChildProcess;
    try {
      child = spawn(this.options.binary, [], {
        stdio: ['pipe', 'pipe', this.options.stderr],
        env: this.options.env,
      });
    } catch (error) {
      failed(error as Error);
      return;
    }
    let running = false;
    let exited: ExitInfo | undefined;
    let finished = false;
    let graceTimer: NodeJS.Timeout | undefined;
    const finish = (): void => {
      if (finished) return;
      finished = true;
      if (graceTimer) clearTimeout(graceTimer);
      this.ended(child, exited ?? { code: null, signal: null });
    };
    child.once('spawn', () => {
      running = true;
      this.child = child;
      this.inputOk = true;
      this.blocked = false;
      this.spawnedAt = Date.now();
      spawned();
    });
    child.on('error', (error) => {
      // Spawning failed (no 'exit' follows), or a kill failed (nothing to do).
      if (!running && !finished) {
        finished = true;
        failed(error);
      }
    });
    // A host's listener that throws must not cost the lines after it in the same chunk: the
    // exception is thrown again on its own, uncaught as it would have been.
    const guarded = (run: () => void): void => {
      try {
        run();
      } catch (error) {
        process.nextTick(() => { throw error; });
      }
    };
    const splitter = new LineSplitter(this.options.maxRead, {
      line: (text) => { if (!finished) guarded(() => this.handlers.line(text)); },
      overflow: (head, length) => { if (!finished) guarded(() => this.handlers.overflow(head, length)); },
    });
    child.stdout!.on('data', (chunk: Buffer) => splitter.push(chunk));
    child.stdin!.on('error', () => this.inputGone(child));
    child.once('exit', (code, signal) => {
      exited = { code, signal };
      // All output is read when 'close' comes; bound the wait for a pipe someone else holds open.
      graceTimer = setTimeout(finish, OUTPUT_GRACE_MS);
    });
    child.once('close', (code: number | null, signal: NodeJS.Signals | null) => {
      exited ??= { code, signal };
      finish();
    });
  }

  /**
   * The child's input broke (EPIPE): nothing more can reach it. Usually the child has died and its
   * exit follows, after which its remaining output is read and what waits is failed; a child that
   * closed its input and lives on cannot be driven, so it is killed and goes the way of a crash.
   */
  private inputGone(child: ChildProcess): void {
    if (child !== this.child || !this.inputOk) return;
    this.inputOk = false;
    this.queue = [];
    this.queueHead = 0;
    if (this.state === 'stopping') return;
    const timer = setTimeout(() => {
      if (child !== this.child) return;
      this.handlers.lost({ code: null, signal: null });
      child.kill('SIGKILL');
    }, INPUT_GONE_GRACE_MS);
    child.once('exit', () => clearTimeout(timer));
  }

  private ended(child: ChildProcess, info: ExitInfo): void {
    if (child !== this.child) return;
    this.child = undefined;
    this.inputOk = false;
    this.blocked = false;
    this.queue = [];
    this.queueHead = 0;
    this.handlers.lost(info);
    this.handlers.exit(info);
    if (this.state === 'stopping') {
      this.state = 'stopped';
      for (const resolve of this.stopWaiters.splice(0)) resolve();
      return;
    }
    if (this.state === 'stopped') return;
    this.crashed(info);
  }

  private crashed(info: ExitInfo): void {
    if (!this.options.restart) {
      this.state = 'failed';
      return;
    }
    const now = Date.now();
    this.crashes = this.crashes.filter((t) => now - t < RESTART.windowMs);
    this.crashes.push(now);
    if (this.crashes.length >= RESTART.maxCrashes) {
      this.state = 'failed';
      this.handlers.gaveUp(new NativeError('EXITED',
        `${this.options.name} crashed ${this.crashes.length} times within ${RESTART.windowMs / 60_000} minutes; it is not restarted again`));
      return;
    }
    if (this.spawnedAt && now - this.spawnedAt >= RESTART.stableMs) this.streak = 0;
    this.streak += 1;
    const base = Math.min(RESTART.maxDelayMs, RESTART.firstDelayMs * 2 ** (this.streak - 1));
    const delay = Math.min(RESTART.maxDelayMs, base * (0.8 + 0.4 * Math.random()));
    this.state = 'restarting';
    this.restartTimer = setTimeout(() => {
      this.restartTimer = undefined;
      this.spawnChild(() => {
        if (this.state === 'stopped') {
          // stop() came while this child was being spawned.
          this.child?.kill('SIGKILL');
          return;
        }
        this.state = 'running';
        this.handlers.restarted(info);
      }, () => {
        if (this.state === 'stopped') return;
        // Could not even be started: counts as one more crash.
        this.spawnedAt = 0;
        this.crashed({ code: null, signal: null });
      });
    }, delay);
  }
}
