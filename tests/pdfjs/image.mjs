// The first image of page 1 as pdf.js decodes it, written as a PGM: the
// tests' fourth reader of the JBIG2 the optimisation writes.
// usage: node image.mjs INPUT.pdf OUTPUT.pgm
import { getDocument, OPS } from "pdfjs-dist/legacy/build/pdf.mjs";
import { readFileSync, writeFileSync } from "node:fs";
const [, , input, output] = process.argv;
const pdf = await getDocument({ data: new Uint8Array(readFileSync(input)), verbosity: 0 }).promise;
const page = await pdf.getPage(1);
const ops = await page.getOperatorList();
let image = null;
for (let i = 0; i < ops.fnArray.length; i++) {
  if (ops.fnArray[i] === OPS.paintImageXObject) {
    const name = ops.argsArray[i][0];
    image = await new Promise((resolve) => page.objs.get(name, resolve));
    break;
  }
}
if (!image) process.exit(1);
const { width, height, data, kind } = image;
const grey = Buffer.alloc(width * height);
if (kind === 1) { // one bit a pixel, rows of whole bytes, 1 for white
  const stride = (width + 7) >> 3;
  for (let y = 0; y < height; y++) for (let x = 0; x < width; x++)
    grey[y * width + x] = (data[y * stride + (x >> 3)] >> (7 - (x & 7))) & 1 ? 255 : 0;
} else {
  const channels = kind === 2 ? 3 : 4;
  for (let p = 0; p < width * height; p++) grey[p] = data[p * channels];
}
writeFileSync(output, Buffer.concat([Buffer.from(`P5\n${width} ${height}\n255\n`), grey]));
process.exit(0);
