// Runs ONNX models with ONNX Runtime's Node.js binding, for checking test models
// that OpenCV 4.6 cannot run.
//
//   ORT_NODE_MODULES=DIR node tools/testmodels/ort_run.js jobs.json
//
// DIR holds onnxruntime-node and onnxruntime-common (unpacked `npm pack`
// tarballs). jobs.json: [{"model", "input", "dims", "type", "output"}], input a
// raw little-endian float32 or float16 file. Writes each first output raw to
// "output" and prints [{"dims", "type"} or {"error"}] as JSON.
'use strict';
const fs = require('fs');
const path = require('path');

const dir = process.env.ORT_NODE_MODULES;
const ort = require(dir ? path.join(dir, 'onnxruntime-node') : 'onnxruntime-node');

async function main() {
  const jobs = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
  const results = [];
  for (const job of jobs) {
    try {
      const buf = fs.readFileSync(job.input);
      const bytes = new Uint8Array(buf).buffer;
      const data = job.type === 'float16' ? new Uint16Array(bytes) : new Float32Array(bytes);
      const session = await ort.InferenceSession.create(job.model, {intraOpNumThreads: 1});
      const out = (await session.run({[session.inputNames[0]]: new ort.Tensor(job.type, data, job.dims)}))[
          session.outputNames[0]];
      fs.writeFileSync(job.output, Buffer.from(out.data.buffer, out.data.byteOffset, out.data.byteLength));
      results.push({dims: out.dims, type: out.type});
    } catch (e) {
      results.push({error: String(e.message || e).split('\n')[0]});
    }
  }
  process.stdout.write(JSON.stringify(results));
}

main();
