// The steps of normalize-image done by sharp (libvips from Node) on one file: decoded at most
// 256 pixels high and wide (never enlarged, orientation applied), written as PNG. Prints the
// median milliseconds of the runs after one to warm up.
// Usage: node bench/sharp_normalize.js photo.jpg [runs]
const fs = require("fs");
const sharp = require("sharp");

async function main() {
  const data = fs.readFileSync(process.argv[2]);
  const runs = Number(process.argv[3] || 7);
  const times = [];
  for (let i = 0; i <= runs; i++) {
    const started = process.hrtime.bigint();
    await sharp(data).rotate().resize(256, 256, { fit: "inside", withoutEnlargement: true }).png().toBuffer();
    if (i) times.push(Number(process.hrtime.bigint() - started) / 1e6);
  }
  times.sort((a, b) => a - b);
  console.log(times[Math.floor(times.length / 2)].toFixed(1));
}

main().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
