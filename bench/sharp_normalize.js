// The steps of normalize-image done by sharp (libvips from Node) on one file: decoded once at most
// 256 pixels high and wide (never enlarged, orientation applied), then written as PNG, scaled from
// that first decoding to three quarters of the edge each time the PNG is over 64 KiB. Prints the
// median milliseconds of the runs after one to warm up, the edge the last PNG was written at, and
// the median CPU milliseconds of the process (libvips' threads included).
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
  const cpu = [];
  let edge = 0;
  for (let i = 0; i <= runs; i++) {
    const started = process.hrtime.bigint();
    const usage = process.cpuUsage();
    edge = await normalize(data);
    const used = process.cpuUsage(usage);
    if (i) {
      times.push(Number(process.hrtime.bigint() - started) / 1e6);
      cpu.push((used.user + used.system) / 1000);
    }
  }
  const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];
  console.log(median(times).toFixed(1), edge, median(cpu).toFixed(1));
}

main().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
