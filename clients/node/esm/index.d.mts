export * from '../dist/cjs/index.js';
import * as native from '../dist/cjs/index.js';
export default native;
