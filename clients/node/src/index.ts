// The host's client for MireloServices and SolvaNearby.
export { MireloServices, SERVICES_MAX_REQUEST, SERVICES_MAX_REPLY, type ServicesLaunchOptions } from './services';
export { SolvaNearby, NEARBY_MAX_LINE, NEARBY_MAX_WRITE, type NearbyLaunchOptions, type NearbySendOptions } from './nearby';
export { NativeError, type NativeErrorCode } from './errors';
export { resolveBinary, binaryCandidates, type ProgramName } from './resolve';
export { LineSplitter, type LineSink } from './lines';
export { RESTART, type ClientEvents, type ExitInfo } from './transport';
export * from './protocol';
