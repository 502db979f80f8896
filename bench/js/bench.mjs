// Medians in microseconds of key generation, signing and verification through the JavaScript
// package in Node, on the SIMD module and on the scalar one, beside the native library's scalar
// path (build/tavik_speed --json, TAVIK_BACKEND=scalar) measured in the same sitting, rounds of the
// three interleaved.
//   node bench/js/bench.mjs [--runs N] [--rounds R] [--speed path/to/tavik_speed] [--json]
// Signing is deterministic, as the native benchmark's sig_sign: a 59-byte message (byte i = i)
// whose first two bytes carry the run's number, the native workload exactly; and 1 KiB messages
// the same way. The ratio is wasm median / native median of the same workload. The modules are
// timed after a warm-up of 300 rounds of each call (see warmUp).
import { execFileSync } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import os from 'node:os';

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const i = args.indexOf(name);
  return i >= 0 && i + 1 < args.length ? args[i + 1] : fallback;
};
const runs = Number(option('--runs', '300'));
const rounds = Number(option('--rounds', '3'));
const root = new URL('../../', import.meta.url);
const speed = option('--speed', new URL('build/tavik_speed', root).pathname);
const asJson = args.includes('--json');

async function load(variant) {
  const saved = process.env.TAVIK_WASM;
  process.env.TAVIK_WASM = variant;
  try {
    return await import(new URL(`js/core.js?bench-${variant}`, root));
  } finally {
    if (saved === undefined) delete process.env.TAVIK_WASM;
    else process.env.TAVIK_WASM = saved;
  }
}

const median = (v) => {
  const s = [...v].sort((a, b) => a - b);
  return s[Math.floor(s.length / 2)];
};

function time(count, fn) {
  const took = new Array(count);
  for (let i = 0; i < count; i++) {
    const t0 = process.hrtime.bigint();
    fn(i);
    took[i] = Number(process.hrtime.bigint() - t0) / 1000;
  }
  return median(took);
}

function message(length, i) {
  const m = Uint8Array.from({ length }, (_, k) => k & 255);
  m[0] = i & 255;
  m[1] = (i >> 8) & 255;
  return m;
}

// V8 first runs a module's functions from its baseline compiler and moves hot ones to its
// optimising compiler while they run; the calls before that are not what a busy program sees.
function warmUp(t) {
  const { publicKey, secretKey } = t.generateKeyPair();
  for (let i = 0; i < 300; i++) {
    const sig = t.sign(secretKey, message(59, i), { deterministic: true });
    t.verify(publicKey, message(59, i), sig);
    t.generateKeyPair().secretKey.wipe();
  }
  secretKey.wipe();
}

function measureWasm(t) {
  const { publicKey, secretKey } = t.generateKeyPair();
  const out = {};
  out.keygen = time(runs, () => t.generateKeyPair().secretKey.wipe());
  out.sign = time(runs, (i) => t.sign(secretKey, message(59, i), { deterministic: true }));
  out.sign_1k = time(runs, (i) => t.sign(secretKey, message(1024, i), { deterministic: true }));
  const msg = message(59, 0);
  const sig = t.sign(secretKey, msg, { deterministic: true });
  out.verify = time(runs, () => {
    if (!t.verify(publicKey, msg, sig)) throw new Error('a signature did not verify');
  });
  secretKey.wipe();
  return out;
}

function measureNative() {
  if (!existsSync(speed)) return null;
  const text = execFileSync(speed, ['--json', String(runs)], {
    env: { ...process.env, TAVIK_BACKEND: 'scalar' },
    encoding: 'utf8',
  });
  const records = JSON.parse(text).records;
  const of = (call) => records.find((r) => r.call === call).median_us;
  return { keygen: of('sig_keygen'), sign: of('sig_sign'), verify: of('sig_verf') };
}

const modules = { simd: await load('simd').catch(() => null), scalar: await load('scalar') };
for (const t of Object.values(modules)) if (t) warmUp(t);
const samples = { native: [], simd: [], scalar: [] };
for (let r = 0; r < rounds; r++) {
  const native = measureNative();
  if (native) samples.native.push(native);
  for (const [name, t] of Object.entries(modules)) if (t) samples[name].push(measureWasm(t));
}

const ops = ['keygen', 'sign', 'sign_1k', 'verify'];
const summary = {};
for (const [name, list] of Object.entries(samples)) {
  if (list.length === 0) continue;
  summary[name] = {};
  for (const op of ops) if (list[0][op] !== undefined) summary[name][op] = median(list.map((s) => s[op]));
}
const wasmSize = (file) => {
  const p = new URL(`js/dist/${file}`, root);
  return existsSync(p) ? readFileSync(p).length : null;
};
const result = {
  node: process.version,
  cpu: os.cpus()[0]?.model ?? 'unknown',
  runs,
  rounds,
  backends: Object.fromEntries(Object.entries(modules).filter(([, t]) => t).map(([n, t]) => [n, t.backend])),
  medians_us: summary,
  ratio_to_native_scalar: {},
  wasm_bytes: { 'tavik.wasm': wasmSize('tavik.wasm'), 'tavik-simd.wasm': wasmSize('tavik-simd.wasm') },
};
if (summary.native) {
  for (const name of ['simd', 'scalar']) {
    if (!summary[name]) continue;
    result.ratio_to_native_scalar[name] = {};
    for (const op of ['keygen', 'sign', 'verify']) {
      result.ratio_to_native_scalar[name][op] = Number((summary[name][op] / summary.native[op]).toFixed(3));
    }
  }
}

if (asJson) {
  console.log(JSON.stringify(result, null, 2));
} else {
  console.log(`Node ${result.node}, ${result.cpu}; ${runs} calls a median, median of ${rounds} interleaved rounds`);
  if (!summary.native) console.log(`(no native comparison: ${speed} not built; make bench-js builds it)`);
  const cols = ['keygen', 'sign', 'sign_1k', 'verify'];
  console.log(`${'module'.padEnd(22)}${cols.map((c) => c.padStart(12)).join('')}   (µs)`);
  for (const [name, row] of Object.entries(summary)) {
    const label = name === 'native' ? 'native scalar' : `${name} (${result.backends[name]})`;
    console.log(`${label.padEnd(22)}${cols.map((c) => (row[c] === undefined ? '-' : row[c].toFixed(1)).padStart(12)).join('')}`);
  }
  for (const [name, row] of Object.entries(result.ratio_to_native_scalar)) {
    console.log(`${`${name} / native`.padEnd(22)}${['keygen', 'sign'].map((c) => row[c].toFixed(3).padStart(12)).join('')}${'-'.padStart(12)}${row.verify.toFixed(3).padStart(12)}`);
  }
  console.log(`sizes: ${Object.entries(result.wasm_bytes).map(([f, n]) => `${f} ${n} bytes`).join(', ')}`);
}
