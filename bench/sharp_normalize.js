// The steps of normalize-image done by sharp (libvips from Node) on one file: decoded once at most
// 256 pixels high and wide (never enlarged, orientation applied), then written as PNG, scaled from
// that first decoding to three quarters of the edge each time the PNG is over 64 KiB. Prints the
// median milliseconds of the runs after one to warm up, and the edge the last PNG was written at.
// Usage: node bench/sharp_normalize.js photo.jpg [runs]
const fs = require("fs");
const sharp = require("sharp");

const kLimit = 65536;

async function normalize(data) {
  const first = await sharp(data)
    .rotate()
    .resize(256, 256, { fit: "inside", withoutEnlargement: true })
    .raw()
    .toBuffer({ resolveWithObject: true });
  const { width, height, channels } = first.info;
  for (let edge = 256; edge >= 32; edge = Math.floor(edge * 0.75)) {
    let image = sharp(first.data, { raw: { width, height, channels } });
    if (width > edge || height > edge) image = image.resize(edge, edge, { fit: "inside" });
    const png = await image.png().toBuffer();
    if (png.length <= kLimit) return edge;
  }
  throw new Error("no PNG within the limit");
}

async function main() {
  const data = fs.readFileSync(process.argv[2]);
  const runs = Number(process.argv[3] || 7);
  const times = [];
  let edge = 0;
  for (let i = 0; i <= runs; i++) {
    const started = process.hrtime.bigint();
    edge = await normalize(data);
    if (i) times.push(Number(process.hrtime.bigint() - started) / 1e6);
  }
  times.sort((a, b) => a - b);
  console.log(times[Math.floor(times.length / 2)].toFixed(1), edge);
}

main().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
