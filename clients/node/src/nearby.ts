// SolvaNearby as the host sees it. Commands get no replies, so most methods only write; every
// event is emitted under its own name with the object as read. send() is the one call with an
// outcome: it resolves on the "sent" of its (connectionId, requestId) and rejects when that
// channel closes first or the child ends. The client follows each channel's state from the
// events, so a send on a channel the program does not have (which would never be answered) is
// refused at once.

import { EventEmitter } from 'node:events';
import { NativeError } from './errors';
import {
  camelCase, nearbyCommands,
  type NearbyCommandName, type NearbyEventMap, type NearbyMethods, type NearbyPayload,
} from './protocol';
import { resolveBinary } from './resolve';
import { LineTransport, type ClientEvents, type ExitInfo } from './transport';

/** Longest line either way (newline not counted); a longer command line ends the program. */
export const NEARBY_MAX_LINE = 2_097_152;
/** Most bytes of one send; more would close the channel. */
export const NEARBY_MAX_WRITE = 786_436;

export interface NearbyLaunchOptions {
  binary?: string;
  /** The child's whole environment; the host's when absent. */
  env?: NodeJS.ProcessEnv;
  /**
   * Restart after a crash (default false: a new child knows nothing of the old one's start,
   * channels and endpoints; a host that turns this on starts it again on 'restarted').
   */
  restart?: boolean;
  stderr?: 'ignore' | 'inherit';
}

export interface NearbySendOptions {
  connectionId: string;
  data: Buffer | Uint8Array;
  /** Echoed in the "sent" event; made by the client when absent. At most 64 characters. */
  requestId?: string;
}

/**
 * "error" is both a protocol event ({event: 'error', code}) and the client's own give-up error
 * (a NativeError). A protocol "error" with no listener is dropped rather than thrown.
 */
type NearbyListenerMap = Omit<NearbyEventMap, 'error'> & Omit<ClientEvents, 'error'> & {
  error: NearbyEventMap['error'] | NativeError;
};

interface PendingSend {
  resolve(): void;
  reject(error: NativeError): void;
}

type ChannelState = 'connecting' | 'ready';

export declare interface SolvaNearby extends NearbyMethods {
  on<K extends keyof NearbyListenerMap>(event: K, listener: (event: NearbyListenerMap[K]) => void): this;
  once<K extends keyof NearbyListenerMap>(event: K, listener: (event: NearbyListenerMap[K]) => void): this;
  off<K extends keyof NearbyListenerMap>(event: K, listener: (event: NearbyListenerMap[K]) => void): this;
  emit<K extends keyof NearbyListenerMap>(event: K, value: NearbyListenerMap[K]): boolean;
}

export class SolvaNearby extends EventEmitter {
  private readonly transport: LineTransport;
  private readonly channels = new Map<string, ChannelState>();
  /** connectionId → requestId → sends in the order written. */
  private readonly sends = new Map<string, Map<string, PendingSend[]>>();
  private nextRequestId = 1;
  private stopping: Promise<void> | undefined;

  static async launch(options: NearbyLaunchOptions = {}): Promise<SolvaNearby> {
    const client = new SolvaNearby(options);
    await client.transport.start();
    return client;
  }

  private constructor(options: NearbyLaunchOptions) {
    super();
    this.transport = new LineTransport({
      name: 'SolvaNearby',
      binary: resolveBinary('SolvaNearby', options.binary),
      env: options.env,
      restart: options.restart ?? false,
      maxWrite: NEARBY_MAX_LINE,
      maxRead: NEARBY_MAX_LINE,
      stderr: options.stderr ?? 'ignore',
    }, {
      line: (text) => this.onLine(text),
      overflow: (_head, length) => this.protocolError(`SolvaNearby wrote a line of ${length} bytes, over ${NEARBY_MAX_LINE}`),
      lost: () => this.failAll(),
      exit: (info: ExitInfo) => this.emit('exit', info),
      restarted: (info: ExitInfo) => this.emit('restarted', info),
      gaveUp: (error) => this.emit('error', error),
    });
  }

  get pid(): number | undefined {
    return this.transport.pid;
  }

  /**
   * Writes one command as it is. Throws 'TOO_LARGE' (nothing written; the program would end on
   * such a line) or 'EXITED'; outcomes come as events.
   */
  command<K extends NearbyCommandName>(name: K, payload?: NearbyPayload<K>): void;
  command(name: string, payload?: object): void;
  command(name: string, payload: object = {}): void {
    this.writeLine(name, JSON.stringify({ ...payload, command: name }) + '\n');
    if (name === 'connect') {
      const id = (payload as { connectionId?: unknown }).connectionId;
      // A connect for an id already open is refused by the program and leaves that channel be.
      if (typeof id === 'string' && !this.channels.has(id)) this.channels.set(id, 'connecting');
    }
  }

  /** Resolves on the send's "sent"; rejects when its channel closes first or the child ends. */
  send(options: NearbySendOptions): Promise<void> {
    const { connectionId, data } = options;
    if (!(data instanceof Uint8Array)) return Promise.reject(new TypeError('send: data must be a Buffer or Uint8Array'));
    if (data.byteLength > NEARBY_MAX_WRITE) {
      return Promise.reject(new NativeError('TOO_LARGE',
        `send: ${data.byteLength} bytes are over the ${NEARBY_MAX_WRITE} of one send; nothing was sent`));
    }
    if (!this.channels.has(connectionId)) {
      return Promise.reject(new NativeError('PROTOCOL', `send: no open channel "${connectionId}"`));
    }
    const requestId = options.requestId ?? `s${(this.nextRequestId++).toString(36)}`;
    const bytes = Buffer.isBuffer(data) ? data : Buffer.from(data.buffer, data.byteOffset, data.byteLength);
    const line = `{"command":"send","connectionId":${JSON.stringify(connectionId)},"requestId":${JSON.stringify(requestId)},"data":"${bytes.toString('base64')}"}\n`;
    try {
      this.writeLine('send', line);
    } catch (error) {
      return Promise.reject(error);
    }
    return new Promise<void>((resolve, reject) => {
      let byRequest = this.sends.get(connectionId);
      if (!byRequest) this.sends.set(connectionId, byRequest = new Map());
      let queue = byRequest.get(requestId);
      if (!queue) byRequest.set(requestId, queue = []);
      queue.push({ resolve, reject });
    });
  }

  /** Sends stop; resolves on "stopped" and the child's exit. Pending sends reject with 'EXITED'. */
  stop(): Promise<void> {
    this.stopping ??= this.transport.stop('{"command":"stop"}\n');
    return this.stopping;
  }

  private writeLine(name: string, line: string): void {
    if (!this.transport.writable) throw new NativeError('EXITED', this.transport.notWritableReason());
    if (Buffer.byteLength(line) - 1 > NEARBY_MAX_LINE) {
      throw new NativeError('TOO_LARGE', `${name}: the command line is over ${NEARBY_MAX_LINE} bytes; nothing was sent`);
    }
    this.transport.write(line);
  }

  private onLine(text: string): void {
    let message: unknown;
    try {
      message = JSON.parse(text);
    } catch {
      this.protocolError(`SolvaNearby wrote a line that is not JSON: ${text.slice(0, 200)}`);
      return;
    }
    if (typeof message !== 'object' || message === null || Array.isArray(message)
        || typeof (message as { event?: unknown }).event !== 'string') {
      this.protocolError(`SolvaNearby wrote a line that is not an event: ${text.slice(0, 200)}`);
      return;
    }
    const event = message as Record<string, unknown> & { event: string };
    const connectionId = typeof event.connectionId === 'string' ? event.connectionId : undefined;
    switch (event.event) {
      case 'connection-ready':
        if (connectionId !== undefined) this.channels.set(connectionId, 'ready');
        break;
      case 'connection-closed':
        // "ENDPOINT_UNAVAILABLE" for a ready channel is a refused second connect under its id.
        if (connectionId !== undefined && !(event.code === 'ENDPOINT_UNAVAILABLE' && this.channels.get(connectionId) === 'ready')) {
          this.channelClosed(connectionId, event);
        }
        break;
      case 'sent':
        if (connectionId !== undefined && typeof event.requestId === 'string') this.sent(connectionId, event.requestId);
        break;
      case 'error':
        if (this.listenerCount('error') === 0) return;
        break;
      case 'exit': case 'restarted': case 'protocol-error': case 'newListener': case 'removeListener':
        this.protocolError(`SolvaNearby wrote an event of a reserved name: ${event.event}`);
        return;
    }
    this.emit(event.event as keyof NearbyEventMap, event as never);
  }

  private sent(connectionId: string, requestId: string): void {
    const byRequest = this.sends.get(connectionId);
    const queue = byRequest?.get(requestId);
    const first = queue?.shift();
    if (!first) return;
    if (queue!.length === 0) byRequest!.delete(requestId);
    if (byRequest!.size === 0) this.sends.delete(connectionId);
    first.resolve();
  }

  private channelClosed(connectionId: string, event: Record<string, unknown>): void {
    this.channels.delete(connectionId);
    const byRequest = this.sends.get(connectionId);
    if (!byRequest) return;
    this.sends.delete(connectionId);
    const code = typeof event.code === 'string' ? event.code : undefined;
    for (const queue of byRequest.values()) {
      for (const send of queue) {
        const error = new NativeError('REMOTE', code ?? 'connection-closed');
        (error as NativeError & { event?: unknown }).event = event;
        send.reject(error);
      }
    }
  }

  private protocolError(message: string): void {
    this.emit('protocol-error', new NativeError('PROTOCOL', message));
  }

  private failAll(): void {
    this.channels.clear();
    const all = [...this.sends.values()];
    this.sends.clear();
    for (const byRequest of all) {
      for (const queue of byRequest.values()) {
        for (const send of queue) send.reject(new NativeError('EXITED', 'send: SolvaNearby ended before the bytes were acknowledged'));
      }
    }
  }
}

// start, discovery, connect, close: one method each, from the table.
for (const name of Object.keys(nearbyCommands) as NearbyCommandName[]) {
  if (name === 'send' || name === 'stop') continue;
  Object.defineProperty(SolvaNearby.prototype, camelCase(name), {
    value: function (this: SolvaNearby, payload: object) {
      this.command(name, payload as never);
    },
    writable: true,
    configurable: true,
  });
}
