// The vocabulary of both programs in one place: every command with its payload and success value,
// every event with its members. The clients' typed methods and their event types are derived from
// these tables (at run time from the keys, at compile time from the phantom types), so a command
// added here is a method everywhere and a command missing here is a test failure.

/** A command's payload and success value; both exist only in the types. */
export interface CommandEntry<P, V> {
  readonly payload?: P;
  readonly value?: V;
}
/** An event's object as read from the program. */
export interface EventEntry<E> {
  readonly event?: E;
}

const command = <P, V>(): CommandEntry<P, V> => ({});
const event = <E>(): EventEntry<E> => ({});

/** No members are read. */
export type NoPayload = Record<string, never>;

// ---- MireloServices payloads and values -------------------------------------------------------

export interface HttpPayload {
  /** An "https" URL. */
  url: string;
  method?: 'GET' | 'POST';
  /** Largest response body accepted, clamped to 1 ... 12,582,912 (default 4096). */
  maxBytes?: number;
  /** Seconds, clamped to 1 ... 180 (default 10). */
  timeout?: number;
  /** For POST: the body in standard Base64. */
  body?: string;
  /** For http-cancel; the client makes one when timeoutMs or signal is given without it. */
  requestId?: string;
}
export interface HttpValue {
  status: number;
  /** The response body in standard Base64, "" when empty. */
  body: string;
}
export interface HttpCancelPayload { requestId: string }
export interface SocketOpenPayload { url: string; socketId: string }
export interface SocketSendPayload { socketId: string; data: string }
export interface SocketPayload { socketId: string }
export interface BackgroundActivityPayload { enabled?: boolean }
export interface ClipboardWriteTextPayload { text: string }
export interface RoomCardEncodePayload { invitation: string; data: string; robust?: boolean }
export interface ImageDataPayload { data: string }
export interface QrGeneratePayload { value: string }
export interface ClipboardCardWritePayload { data: string; invitation: string }
export interface ChooseImagesPayload { multiple?: boolean; sticker?: boolean }
export interface ChosenImage {
  name: string;
  /** "image/png", "image/gif", "image/webp", "image/jpeg" or "". */
  type: string;
  /** The file's bytes in standard Base64. */
  data: string;
}
export interface NormalizeImagePayload { data: string; edge?: number; limit?: number }
export interface NormalizedImage { data: string; width: number; height: number; type: 'image/png' }
export interface NotificationStatus { supported: true; status: 'denied' | 'idle' }
export interface NotifyPayload { room: string; messageId: string }
export interface NotificationsClearPayload { room?: string; messageId?: string }

/** MireloServices' command table, in its matching order. */
export const servicesCommands = {
  'http': command<HttpPayload, HttpValue>(),
  'http-cancel': command<HttpCancelPayload, true>(),
  'socket-open': command<SocketOpenPayload, true>(),
  'socket-send': command<SocketSendPayload, true>(),
  'socket-receive': command<SocketPayload, true>(),
  'socket-close': command<SocketPayload, true>(),
  'background-activity': command<BackgroundActivityPayload, boolean>(),
  'idle': command<NoPayload, number>(),
  'clipboard-text': command<NoPayload, string>(),
  'clipboard-write-text': command<ClipboardWriteTextPayload, boolean>(),
  'room-card-encode': command<RoomCardEncodePayload, string>(),
  'room-card-decode': command<ImageDataPayload, string>(),
  'qr-decode': command<ImageDataPayload, string>(),
  'qr-generate': command<QrGeneratePayload, string>(),
  'clipboard-card-read': command<NoPayload, string>(),
  'clipboard-card-write': command<ClipboardCardWritePayload, true>(),
  'room-card-save-file': command<ImageDataPayload, boolean>(),
  'choose-images': command<ChooseImagesPayload, ChosenImage[]>(),
  'normalize-image': command<NormalizeImagePayload, NormalizedImage>(),
  'emoji-panel': command<NoPayload, true>(),
  'notification-status': command<NoPayload, NotificationStatus>(),
  'notify': command<NotifyPayload, boolean>(),
  'notifications-clear': command<NotificationsClearPayload, true>(),
  'legacy-password': command<NoPayload, string>(),
  'stop': command<NoPayload, true>(),
} as const;

/** MireloServices' events. */
export const servicesEvents = {
  'screen-locked': event<{ event: 'screen-locked' }>(),
  'system-sleep': event<{ event: 'system-sleep' }>(),
  'system-wake': event<{ event: 'system-wake' }>(),
  'notification-activate': event<{ event: 'notification-activate'; messageId: string; room: string }>(),
  'socket-message': event<{ event: 'socket-message'; socketId: string; data: string }>(),
  'socket-closed': event<{ event: 'socket-closed'; socketId: string }>(),
} as const;

// ---- SolvaNearby ------------------------------------------------------------------------------

export interface NearbyTxt { v: string; r: string; p: string; m: string }
export interface NearbyStartPayload {
  /** 8 to 63 of [A-Za-z0-9_-]. */
  name: string;
  /** Each value 1 to 128 UTF-8 bytes. */
  txt: NearbyTxt;
}
export interface NearbyDiscoveryPayload { enabled: boolean; windowId: string }
export interface NearbyConnectPayload { connectionId: string; endpointId: string }
export interface NearbyClosePayload { connectionId: string }
/** The wire form; the client's send() takes the bytes instead. */
export interface NearbySendPayload { connectionId: string; requestId: string; data: string }

/** SolvaNearby's commands. They get no replies: outcomes arrive as events. */
export const nearbyCommands = {
  'start': command<NearbyStartPayload, void>(),
  'stop': command<NoPayload, void>(),
  'discovery': command<NearbyDiscoveryPayload, void>(),
  'connect': command<NearbyConnectPayload, void>(),
  'close': command<NearbyClosePayload, void>(),
  'send': command<NearbySendPayload, void>(),
} as const;

export type NearbyErrorCode =
  | 'INVALID_JSON' | 'INVALID_COMMAND' | 'NOT_STARTED' | 'INVALID_START' | 'LISTENER_START_FAILED'
  | 'INVALID_CONNECTION';

/** SolvaNearby's events. */
export const nearbyEvents = {
  'error': event<{ event: 'error'; code: NearbyErrorCode | string }>(),
  'stopped': event<{ event: 'stopped' }>(),
  'status': event<{
    event: 'status';
    component: 'listener' | 'browser';
    state: 'ready' | 'waiting' | 'failed' | 'cancelled';
    /** Only with "waiting" and "failed". */
    code?: string;
  }>(),
  'ready': event<{ event: 'ready'; protocol: 1; peerToPeerEnabled: true }>(),
  'discovery-window': event<{ event: 'discovery-window'; open: boolean; windowId: string }>(),
  'found': event<{ event: 'found'; endpointId: string; txt: NearbyTxt }>(),
  'lost': event<{ event: 'lost'; endpointId: string }>(),
  'connection-ready': event<{ event: 'connection-ready'; connectionId: string; outbound: boolean }>(),
  'connection-waiting': event<{ event: 'connection-waiting'; connectionId: string; code: string }>(),
  'connection-closed': event<{
    event: 'connection-closed';
    connectionId: string;
    /** Absent when the close was orderly. */
    code?: 'ENDPOINT_UNAVAILABLE' | 'INVALID_WRITE' | 'QUEUE_FULL' | string;
  }>(),
  /** The received bytes in standard Base64. */
  'data': event<{ event: 'data'; connectionId: string; data: string }>(),
  'sent': event<{ event: 'sent'; connectionId: string; requestId: string }>(),
} as const;

// ---- Derived types ----------------------------------------------------------------------------

export type ServicesCommandName = keyof typeof servicesCommands;
export type NearbyCommandName = keyof typeof nearbyCommands;
type PayloadOf<T> = T extends CommandEntry<infer P, unknown> ? P : never;
type ValueOf<T> = T extends CommandEntry<unknown, infer V> ? V : never;
type EventOf<T> = T extends EventEntry<infer E> ? E : never;

export type ServicesPayload<K extends ServicesCommandName> = PayloadOf<(typeof servicesCommands)[K]>;
export type ServicesValue<K extends ServicesCommandName> = ValueOf<(typeof servicesCommands)[K]>;
export type NearbyPayload<K extends NearbyCommandName> = PayloadOf<(typeof nearbyCommands)[K]>;
export type ServicesEventMap = { [K in keyof typeof servicesEvents]: EventOf<(typeof servicesEvents)[K]> };
export type NearbyEventMap = { [K in keyof typeof nearbyEvents]: EventOf<(typeof nearbyEvents)[K]> };

/** "room-card-encode" → "roomCardEncode". */
export type CamelCase<S extends string> = S extends `${infer H}-${infer T}` ? `${H}${Capitalize<CamelCase<T>>}` : S;

export function camelCase(name: string): string {
  return name.replace(/-([a-z])/g, (_, c: string) => c.toUpperCase());
}

/** Per-call options of MireloServices. */
export interface CallOptions {
  /** Reject with 'TIMEOUT' after this many milliseconds (an http is also cancelled). */
  timeoutMs?: number;
  /** Reject with 'ABORTED' when aborted (an http is also cancelled). */
  signal?: AbortSignal;
}

type Method<P, V> = {} extends P
  ? (payload?: P, options?: CallOptions) => Promise<V>
  : (payload: P, options?: CallOptions) => Promise<V>;

/** One method per command but stop, named in camel case. */
export type ServicesMethods = {
  [K in Exclude<ServicesCommandName, 'stop'> as CamelCase<K>]: Method<ServicesPayload<K>, ServicesValue<K>>;
};

/** The fire-and-forget commands of SolvaNearby (send and stop have methods of their own). */
export type NearbyMethods = {
  [K in Exclude<NearbyCommandName, 'send' | 'stop'> as CamelCase<K>]: (payload: NearbyPayload<K>) => void;
};
