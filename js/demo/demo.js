// The demo page: a key pair made here, the chosen file signed as the detached payload of a
// compact JWS, and verified against whatever file is chosen when Verify is pressed.
import { backend, generateKeyPair, libraryVersion, publicKeyToJwk, signJws, verifyJws } from '../tavik.js';

const $ = (id) => document.getElementById(id);
const { publicKey, secretKey } = generateKeyPair();
let token = null;

function show(text, kind) {
  $('status').textContent = text;
  $('status').className = kind;
}

async function chosenFile() {
  const file = $('file').files[0];
  if (!file) throw new Error('choose a file first');
  return new Uint8Array(await file.arrayBuffer());
}

// base64url without padding of public bytes (the file), in pieces small enough for apply().
function base64url(bytes) {
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(binary).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

async function run(action) {
  try {
    await action();
  } catch (e) {
    show(e.message, 'error');
  }
}

$('sign').addEventListener('click', () => run(async () => {
  const [header, , signature] = signJws(secretKey, await chosenFile()).split('.');
  token = { header, signature };
  $('jws').textContent = `${header}..${signature}`;
  show('signed', 'signed');
}));

$('verify').addEventListener('click', () => run(async () => {
  if (!token) throw new Error('sign a file first');
  const result = verifyJws(publicKey, `${token.header}.${base64url(await chosenFile())}.${token.signature}`);
  show(result ? 'valid' : 'invalid', result ? 'valid' : 'invalid');
}));

$('file').addEventListener('change', () => show('', ''));
$('backend').textContent = backend;
$('version').textContent = libraryVersion;
$('jwk').textContent = JSON.stringify(publicKeyToJwk(publicKey), null, 1);
$('sign').disabled = false;
$('verify').disabled = false;
document.body.dataset.ready = 'true';
