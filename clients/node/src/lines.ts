// A bounded line splitter over Buffers, for a child's standard output. Node's readline has no
// line cap; this one holds at most `maxLine` bytes of an unfinished line. A longer line is skipped
// up to its newline (its first bytes are kept for the report) and reading goes on. Cost: one
// indexOf per chunk and line; a line that spans chunks is joined once, when it ends.

export interface LineSink {
  /** One complete line, without its "\n". `text` is valid UTF-8 decoded (bad bytes as U+FFFD). */
  line(text: string): void;
  /** A line over the bound: its first bytes and its full length. */
  overflow(head: Buffer, length: number): void;
}

const HEAD = 256;

export class LineSplitter {
  private parts: Buffer[] = [];
  private size = 0;
  private skipping = false;
  private head: Buffer | undefined;

  constructor(private readonly maxLine: number, private readonly sink: LineSink) {}

  push(chunk: Buffer): void {
    let start = 0;
    for (;;) {
      const newline = chunk.indexOf(10, start);
      if (newline < 0) break;
      this.end(chunk, start, newline);
      start = newline + 1;
    }
    if (start < chunk.length) this.keep(chunk, start);
  }

  /** Bytes of an unfinished line held (for tests and the bench). */
  get pending(): number {
    return this.skipping ? 0 : this.size;
  }

  private end(chunk: Buffer, start: number, newline: number): void {
    const length = this.size + newline - start;
    if (this.skipping || length > this.maxLine) {
      const head = this.skipping ? this.topUp(chunk, start, newline) : Buffer.concat([...this.parts, chunk.subarray(start, Math.min(newline, start + HEAD))]).subarray(0, HEAD);
      this.reset();
      this.sink.overflow(head, length);
      return;
    }
    let text: string;
    if (this.parts.length === 0) {
      text = chunk.toString('utf8', start, newline);
    } else {
      this.parts.push(chunk.subarray(start, newline));
      text = Buffer.concat(this.parts, length).toString('utf8');
      this.reset();
    }
    this.sink.line(text);
  }

  private keep(chunk: Buffer, start: number): void {
    const rest = chunk.length - start;
    if (this.skipping) {
      this.topUp(chunk, start, chunk.length);
      this.size += rest;
      return;
    }
    if (this.size + rest > this.maxLine) {
      // Over the bound before its end: keep only the head and count the rest.
      this.head = Buffer.concat([...this.parts, chunk.subarray(start, start + HEAD)]).subarray(0, HEAD);
      this.parts = [];
      this.skipping = true;
      this.size += rest;
      return;
    }
    // Node hands each read's chunk over for good, so a slice of it may be kept as it is.
    this.parts.push(start === 0 ? chunk : chunk.subarray(start));
    this.size += rest;
  }

  /** The kept head of a skipped line, grown to HEAD bytes from [start, end) of `chunk`. */
  private topUp(chunk: Buffer, start: number, end: number): Buffer {
    const head = this.head!;
    if (head.length >= HEAD) return head;
    this.head = Buffer.concat([head, chunk.subarray(start, Math.min(end, start + HEAD - head.length))]);
    return this.head;
  }

  private reset(): void {
    this.parts = [];
    this.size = 0;
    this.skipping = false;
    this.head = undefined;
  }
}
