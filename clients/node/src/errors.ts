// The one error type the clients reject with; `code` says which way a call ended.

export type NativeErrorCode = 'REMOTE' | 'TIMEOUT' | 'ABORTED' | 'EXITED' | 'TOO_LARGE' | 'PROTOCOL';

export class NativeError extends Error {
  readonly code: NativeErrorCode;

  /**
   * 'REMOTE': the program's own error text, unchanged, is the message (for a nearby channel that
   * closed under a send, the close code). 'TIMEOUT', 'ABORTED': the caller's bound or signal.
   * 'EXITED': the child ended, or its input is gone, while the call was pending. 'TOO_LARGE': the
   * line was over the program's bound and was not written. 'PROTOCOL': a line or a use outside the
   * protocol.
   */
  constructor(code: NativeErrorCode, message: string, options?: { cause?: unknown }) {
    super(message, options);
    this.name = 'NativeError';
    this.code = code;
  }
}
