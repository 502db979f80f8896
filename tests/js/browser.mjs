// The demo page (js/demo/) in Debian's headless Chromium, driven by playwright-core over a loopback
// server: a file is chosen, signed and verified ("valid"), then changed and verified again
// ("invalid"); the public JWK the page shows is read back here and verifies the page's token with
// the package in Node; the page must load the WebAssembly SIMD module and report its kernels.
//   node tests/js/browser.mjs
// Exits 77 (skipped) with a message when Chromium or js/node_modules/playwright-core is missing,
// except under CI=true, where that is a failure. TAVIK_CHROMIUM names another Chromium.
import assert from 'node:assert/strict';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

import { serve } from './serve.mjs';

const jsDir = fileURLToPath(new URL('../../js/', import.meta.url));
const chromium = process.env.TAVIK_CHROMIUM ?? '/usr/bin/chromium';
const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

function skip(why) {
  console.log(`SKIPPED: ${why}`);
  process.exit(process.env.CI === 'true' ? 1 : 77);
}

let playwright;
try {
  const entry = createRequire(join(jsDir, 'package.json')).resolve('playwright-core');
  const module = await import(pathToFileURL(entry).href);
  playwright = module.chromium ? module : module.default; // the package's CommonJS entry

} catch {
  skip('js/node_modules/playwright-core is missing (npm ci --prefix js)');
}
if (!existsSync(chromium)) skip(`${chromium} is missing (Debian's chromium package)`);

const tavik = await import('../../js/tavik.js');
const server = await serve(jsDir);
const profile = mkdtempSync(join(tmpdir(), 'tavik-chromium-'));
let context;
try {
  // A persistent context takes the new, empty profile folder; playwright never fetches a browser
  // when it is given one to run.
  context = await playwright.chromium.launchPersistentContext(profile, {
    executablePath: chromium, headless: true, args: FLAGS,
  });
  const page = context.pages()[0] ?? await context.newPage();
  const faults = [];
  page.on('pageerror', (e) => faults.push(`page error: ${e.message}`));
  page.on('console', (m) => { if (m.type() === 'error') faults.push(`console: ${m.text()}`); });

  const modules = [];
  page.on('request', (r) => { if (r.url().endsWith('.wasm')) modules.push(new URL(r.url()).pathname); });

  await page.goto(`${server.url}demo/`);
  await page.waitForSelector('body[data-ready="true"]', { timeout: 30000 });
  // Chromium validates WebAssembly SIMD: the page loads the SIMD module, which runs its vector
  // kernels when the build has them (src/simd128/) and they passed their self-test.
  assert.deepEqual(modules, ['/dist/tavik-simd.wasm']);
  const simd128Built = existsSync(new URL('../../src/simd128', import.meta.url));
  assert.equal(await page.textContent('#backend'), simd128Built ? 'simd128' : 'scalar', 'the kernels the page reports');

  const original = { name: 'notes.txt', mimeType: 'text/plain', buffer: Buffer.from('tavik signs this file\n') };
  const changed = { ...original, buffer: Buffer.from('tavik signs this file!\n') };
  const status = async (button, expected) => {
    await page.click(button);
    await page.waitForFunction((want) => document.getElementById('status').textContent === want, expected,
      { timeout: 30000 });
  };
  await page.setInputFiles('#file', original);
  await status('#sign', 'signed');
  await status('#verify', 'valid');
  await page.setInputFiles('#file', changed);
  await status('#verify', 'invalid');
  await page.setInputFiles('#file', original);
  await status('#verify', 'valid');

  // The JWK and token the page shows, checked in Node: the original file verifies, the changed
  // one does not.
  const publicKey = tavik.publicKeyFromJwk(await page.textContent('#jwk'));
  const [header, empty, signature] = (await page.textContent('#jws')).split('.');
  assert.equal(empty, '', 'the page shows the token with its payload detached');
  const token = (file) => `${header}.${file.buffer.toString('base64url')}.${signature}`;
  const result = tavik.verifyJws(publicKey, token(original));
  assert.ok(result, 'the page\'s token verifies in Node under the JWK it shows');
  assert.deepEqual(Buffer.from(result.payload), original.buffer);
  assert.equal(tavik.verifyJws(publicKey, token(changed)), null);
  assert.deepEqual(faults, []);
  console.log(`browser: the demo page signed and verified a file in Chromium (${modules[0]}, ${simd128Built ? 'simd128' : 'scalar'} kernels); the changed file failed`);
} finally {
  await context?.close();
  await server.close();
  rmSync(profile, { recursive: true, force: true });
}
