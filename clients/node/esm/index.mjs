// The ESM entry: the CommonJS build's one copy of every class, so `instanceof NativeError` holds
// whichever way a host loads the package.
import native from '../dist/cjs/index.js';

export const {
  MireloServices, SERVICES_MAX_REQUEST, SERVICES_MAX_REPLY,
  SolvaNearby, NEARBY_MAX_LINE, NEARBY_MAX_WRITE,
  NativeError, resolveBinary, binaryCandidates, LineSplitter, RESTART,
  servicesCommands, servicesEvents, nearbyCommands, nearbyEvents, camelCase,
} = native;
export default native;
