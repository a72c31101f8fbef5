// MireloServices as the host sees it: request() writes {"id","command","payload"} and pairs the
// reply by id, exactly once: with the value, with the program's error, or with a local end
// (timeout, abort, the child's end). Late replies of calls that ended locally are dropped. Events
// are emitted under their own names. One typed method per command is made from the table.

import { EventEmitter } from 'node:events';
import { NativeError } from './errors';
import {
  camelCase, servicesCommands, servicesEvents,
  type CallOptions, type ServicesCommandName, type ServicesEventMap, type ServicesMethods,
  type ServicesPayload, type ServicesValue,
} from './protocol';
import { resolveBinary } from './resolve';
import { LineTransport, type ClientEvents, type Ticket } from './transport';

/** Longest request line the program reads (newline not counted). */
export const SERVICES_MAX_REQUEST = 25_165_824;
/**
 * Longest line the client reads from it: the largest reply the program makes is choose-images'
 * eight files of 12 MiB each in Base64, with their names.
 */
export const SERVICES_MAX_REPLY = 144 * 1024 * 1024;

export interface ServicesLaunchOptions {
  /** The program's path; otherwise resolveBinary('MireloServices') looks for it. */
  binary?: string;
  /** The child's whole environment; the host's when absent. */
  env?: NodeJS.ProcessEnv;
  /** Restart after a crash (default true). */
  restart?: boolean;
  /** Where the child's standard error goes (the program writes none; sanitizers may). */
  stderr?: 'ignore' | 'inherit';
}

type ServicesListenerMap = ServicesEventMap & ClientEvents;

interface Pending {
  command: string;
  resolve(value: unknown): void;
  reject(error: NativeError): void;
  ticket: Ticket;
  cleanup: (() => void) | undefined;
}

const RESERVED = new Set(['error', 'restarted', 'exit', 'protocol-error', 'newListener', 'removeListener']);

export declare interface MireloServices extends ServicesMethods {
  on<K extends keyof ServicesListenerMap>(event: K, listener: (event: ServicesListenerMap[K]) => void): this;
  once<K extends keyof ServicesListenerMap>(event: K, listener: (event: ServicesListenerMap[K]) => void): this;
  off<K extends keyof ServicesListenerMap>(event: K, listener: (event: ServicesListenerMap[K]) => void): this;
  emit<K extends keyof ServicesListenerMap>(event: K, value: ServicesListenerMap[K]): boolean;
}

export class MireloServices extends EventEmitter {
  private readonly transport: LineTransport;
  private readonly pending = new Map<string, Pending>();
  /** Ids of calls that ended locally whose reply may still come. */
  private readonly abandoned = new Set<string>();
  private nextId = 1;
  private nextHttpId = 1;
  private stopping: Promise<void> | undefined;

  static async launch(options: ServicesLaunchOptions = {}): Promise<MireloServices> {
    const client = new MireloServices(options);
    await client.transport.start();
    return client;
  }

  private constructor(options: ServicesLaunchOptions) {
    super();
    this.transport = new LineTransport({
      name: 'MireloServices',
      binary: resolveBinary('MireloServices', options.binary),
      env: options.env,
      restart: options.restart ?? true,
      maxWrite: SERVICES_MAX_REQUEST,
      maxRead: SERVICES_MAX_REPLY,
      stderr: options.stderr ?? 'ignore',
    }, {
      line: (text) => this.onLine(text),
      overflow: (head, length) => this.onOverflow(head, length),
      lost: () => this.failAll(),
      exit: (info) => {
        this.abandoned.clear();
        this.emit('exit', info);
      },
      restarted: (info) => this.emit('restarted', info),
      gaveUp: (error) => this.emit('error', error),
    });
  }

  /** The running child's process id, or undefined. */
  get pid(): number | undefined {
    return this.transport.pid;
  }

  request<K extends ServicesCommandName>(command: K, payload?: ServicesPayload<K>, options?: CallOptions): Promise<ServicesValue<K>>;
  request(command: string, payload?: object, options?: CallOptions): Promise<unknown>;
  request(command: string, payload?: object, options: CallOptions = {}): Promise<unknown> {
    if (command === 'stop') return this.stop().then(() => true);
    const { signal, timeoutMs } = options;
    if (signal?.aborted) return Promise.reject(new NativeError('ABORTED', `${command} was aborted before it was sent`));
    if (!this.transport.writable) return Promise.reject(new NativeError('EXITED', this.transport.notWritableReason()));
    let body = payload ?? {};
    let httpRequestId: string | undefined;
    if (command === 'http' && (signal || timeoutMs !== undefined)) {
      const given = (body as { requestId?: unknown }).requestId;
      if (typeof given === 'string') {
        httpRequestId = given;
      } else {
        httpRequestId = `mirelo-node-${process.pid}-${this.nextHttpId++}`;
        body = { ...body, requestId: httpRequestId };
      }
    }
    const id = (this.nextId++).toString(36);
    let line: string;
    try {
      line = `{"id":"${id}","command":${JSON.stringify(command)},"payload":${JSON.stringify(body)}}\n`;
    } catch (error) {
      return Promise.reject(new NativeError('PROTOCOL', `${command}: the payload cannot be written as JSON`, { cause: error }));
    }
    // Each UTF-16 unit is one to three UTF-8 bytes: count bytes only when it can matter.
    if (line.length - 1 > SERVICES_MAX_REQUEST
        || ((line.length - 1) * 3 > SERVICES_MAX_REQUEST && Buffer.byteLength(line) - 1 > SERVICES_MAX_REQUEST)) {
      return Promise.reject(new NativeError('TOO_LARGE',
        `${command}: the request line is over ${SERVICES_MAX_REQUEST} bytes; nothing was sent`));
    }
    return new Promise((resolve, reject) => {
      const entry: Pending = { command, resolve, reject, ticket: { written: false, dropped: false }, cleanup: undefined };
      if (signal || timeoutMs !== undefined) {
        const endLocally = (error: NativeError): void => {
          if (this.pending.get(id) !== entry) return;
          this.settle(id, entry);
          if (entry.ticket.written) {
            this.abandoned.add(id);
            if (httpRequestId !== undefined) this.cancelHttp(httpRequestId);
          } else {
            entry.ticket.dropped = true;
          }
          reject(error);
        };
        const timer = timeoutMs !== undefined
          ? setTimeout(() => endLocally(new NativeError('TIMEOUT', `${command} took longer than ${timeoutMs} ms`)), timeoutMs)
          : undefined;
        const onAbort = (): void => endLocally(new NativeError('ABORTED', `${command} was aborted`));
        signal?.addEventListener('abort', onAbort, { once: true });
        entry.cleanup = () => {
          if (timer) clearTimeout(timer);
          signal?.removeEventListener('abort', onAbort);
        };
      }
      this.pending.set(id, entry);
      this.transport.write(line, entry.ticket);
    });
  }

  /** Sends stop and resolves once the child has exited; pending calls reject with 'EXITED'. */
  stop(): Promise<void> {
    if (!this.stopping) {
      const id = (this.nextId++).toString(36);
      this.abandoned.add(id);
      this.stopping = this.transport.stop(`{"id":"${id}","command":"stop","payload":{}}\n`);
    }
    return this.stopping;
  }

  private cancelHttp(requestId: string): void {
    if (!this.transport.writable) return;
    const id = (this.nextId++).toString(36);
    // Its reply (true) is of no interest.
    this.abandoned.add(id);
    this.transport.write(`{"id":"${id}","command":"http-cancel","payload":${JSON.stringify({ requestId })}}\n`);
  }

  private settle(id: string, entry: Pending): void {
    this.pending.delete(id);
    entry.cleanup?.();
  }

  private onLine(text: string): void {
    let message: unknown;
    try {
      message = JSON.parse(text);
    } catch {
      this.protocolError(`MireloServices wrote a line that is not JSON: ${text.slice(0, 200)}`);
      return;
    }
    if (typeof message !== 'object' || message === null || Array.isArray(message)) {
      this.protocolError(`MireloServices wrote a line that is not an object: ${text.slice(0, 200)}`);
      return;
    }
    const object = message as Record<string, unknown>;
    if (typeof object.id === 'string') {
      this.onReply(object.id, object, text);
    } else if (typeof object.event === 'string') {
      if (RESERVED.has(object.event) && !(object.event in servicesEvents)) {
        this.protocolError(`MireloServices wrote an event of a reserved name: ${object.event}`);
        return;
      }
      this.emit(object.event as keyof ServicesEventMap, object as never);
    } else {
      this.protocolError(`MireloServices wrote a line that is neither a reply nor an event: ${text.slice(0, 200)}`);
    }
  }

  private onReply(id: string, reply: Record<string, unknown>, text: string): void {
    const entry = this.pending.get(id);
    if (!entry) {
      if (!this.abandoned.delete(id)) this.protocolError(`MireloServices replied to no pending request: ${text.slice(0, 200)}`);
      return;
    }
    this.settle(id, entry);
    if ('value' in reply) {
      entry.resolve(reply.value);
    } else if (typeof reply.error === 'string') {
      entry.reject(new NativeError('REMOTE', reply.error));
    } else {
      entry.reject(new NativeError('PROTOCOL', `${entry.command}: the reply has neither value nor error`));
    }
  }

  private onOverflow(head: Buffer, length: number): void {
    const message = `MireloServices wrote a line of ${length} bytes, over the client's ${SERVICES_MAX_REPLY}`;
    // Keys are sorted, so a success reply begins with its id.
    const match = /^\{"id":("(?:[^"\\]|\\.)*")/.exec(head.toString('utf8'));
    if (match) {
      const id = JSON.parse(match[1]!) as string;
      const entry = this.pending.get(id);
      if (entry) {
        this.settle(id, entry);
        entry.reject(new NativeError('PROTOCOL', `${entry.command}: ${message}`));
        return;
      }
      this.abandoned.delete(id);
    }
    this.protocolError(message);
  }

  private protocolError(message: string): void {
    this.emit('protocol-error', new NativeError('PROTOCOL', message));
  }

  private failAll(): void {
    if (this.pending.size === 0) return;
    const entries = [...this.pending.values()];
    // A child whose input broke may still write replies before it is gone: drop them quietly.
    for (const id of this.pending.keys()) this.abandoned.add(id);
    this.pending.clear();
    for (const entry of entries) {
      entry.cleanup?.();
      entry.reject(new NativeError('EXITED', `${entry.command}: MireloServices ended before it replied`));
    }
  }
}

// The typed methods, one per command of the table.
for (const name of Object.keys(servicesCommands) as ServicesCommandName[]) {
  if (name === 'stop') continue;
  Object.defineProperty(MireloServices.prototype, camelCase(name), {
    value: function (this: MireloServices, payload?: object, options?: CallOptions) {
      return this.request(name, payload as never, options);
    },
    writable: true,
    configurable: true,
  });
}
