"use strict";
// A small browser-side DAW for the browser end-to-end test, using only what a
// browser offers: WebSocket with ArrayBuffer messages, DataView for the 64-byte
// audio frame header and WebCrypto for the HMAC. The test calls dawSession()
// and dawRefused() from the DevTools protocol; every check counts, and the
// first one that fails rejects with its text.

const GAIN = "CLAP:org.krevlo.fx.gain";
const DELAY = "CLAP:org.krevlo.fx.latency";
const DELAY_SAMPLES = 8;  // the delay plug-in's default
const WAIT_MS = 30000;    // a bound for each wait, generous for sanitizer builds
const BLOCK = 128;
const BLOCKS = 24;
const OPAQUE = Array.from({length: 16}, (_, i) => 0xa0 + i);

let checks = 0;

function check(condition, what) {
  if (!condition) throw new Error(what);
  checks += 1;
}

function hexOf(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

function bytesOf(hex) {
  const out = new Uint8Array(hex.length / 2);
  for (let i = 0; i < out.length; i++) out[i] = parseInt(hex.substr(2 * i, 2), 16);
  return out;
}

async function hmacHex(tokenHex, message) {
  const key = await crypto.subtle.importKey("raw", bytesOf(tokenHex), {name: "HMAC", hash: "SHA-256"}, false,
                                            ["sign"]);
  const mac = await crypto.subtle.sign("HMAC", key, new TextEncoder().encode(message));
  return hexOf(new Uint8Array(mac));
}

// One connection that keeps every text message and binary frame until a check
// takes it, so pushes may arrive in any order.
class Peer {
  static open(url) {
    return new Promise((resolve, reject) => {
      const ws = new WebSocket(url);
      ws.binaryType = "arraybuffer";
      const timer = setTimeout(() => reject(new Error(`${url}: no answer`)), WAIT_MS);
      ws.onopen = () => {
        clearTimeout(timer);
        resolve(new Peer(ws));
      };
      ws.onerror = () => {};
      ws.onclose = (e) => {
        clearTimeout(timer);
        reject(new Error(`refused: ${url} closed with ${e.code} before it opened`));
      };
    });
  }

  constructor(ws) {
    this.ws = ws;
    this.texts = [];
    this.binaries = [];
    this.closed = false;
    this.wake = null;
    this.closedPromise = new Promise((resolve) => { this.resolveClosed = resolve; });
    ws.onmessage = (e) => {
      if (typeof e.data === "string") this.texts.push(JSON.parse(e.data));
      else this.binaries.push(e.data);
      this.poke();
    };
    ws.onclose = () => {
      this.closed = true;
      this.resolveClosed();
      this.poke();
    };
  }

  poke() {
    if (this.wake) this.wake();
  }

  // Waits until `ready()` holds, a bounded time.
  async until(ready, what) {
    const deadline = Date.now() + WAIT_MS;
    for (;;) {
      const value = ready();
      if (value !== undefined) return value;
      if (this.closed) throw new Error(`${what}: the connection closed; last texts ${JSON.stringify(this.texts.slice(-4))}`);
      const left = deadline - Date.now();
      if (left <= 0) throw new Error(`${what}: nothing came; last texts ${JSON.stringify(this.texts.slice(-4))}`);
      await new Promise((resolve) => {
        this.wake = resolve;
        setTimeout(resolve, left);
      });
      this.wake = null;
    }
  }

  // The first text message, kept or new, for which want() holds.
  text(want, what) {
    return this.until(() => {
      const i = this.texts.findIndex(want);
      return i < 0 ? undefined : this.texts.splice(i, 1)[0];
    }, what);
  }

  send(message) {
    this.ws.send(JSON.stringify(message));
  }

  async ask(message, want, what) {
    this.send(message);
    return this.text(want, what);
  }

  close() {
    this.ws.close();
    return this.closedPromise;
  }
}

const is = (...types) => (m) => types.includes(m.t);

function inputFrame(stream, position, left, right) {
  const frames = left.length;
  const buffer = new ArrayBuffer(64 + 8 * frames);
  const v = new DataView(buffer);
  v.setUint8(0, 1);
  v.setUint8(1, 2);
  v.setUint16(2, stream, true);
  v.setInt32(4, 0, true);  // epoch
  v.setInt32(8, position, true);
  v.setInt32(12, frames, true);
  v.setUint32(16, 1, true);  // playing
  v.setInt32(20, 4, true);
  v.setInt32(24, 4, true);
  v.setInt32(28, 0, true);
  v.setFloat64(32, position, true);
  v.setFloat64(40, 120, true);
  OPAQUE.forEach((b, i) => v.setUint8(48 + i, b));
  for (let i = 0; i < frames; i++) {
    v.setFloat32(64 + 4 * i, left[i], true);
    v.setFloat32(64 + 4 * (frames + i), right[i], true);
  }
  return buffer;
}

function readOutput(buffer, stream) {
  const v = new DataView(buffer);
  check(buffer.byteLength >= 64, `an output frame of ${buffer.byteLength} bytes`);
  const frames = v.getInt32(12, true);
  check(v.getUint8(0) === 2 && v.getUint8(1) === 2 && v.getUint16(2, true) === stream && v.getInt32(4, true) === 0 &&
        buffer.byteLength === 64 + 8 * frames,
        `output header ${hexOf(new Uint8Array(buffer, 0, 16))} of ${buffer.byteLength} bytes`);
  check(OPAQUE.every((b, i) => v.getUint8(48 + i) === b) && v.getFloat64(40, true) === 120,
        "the header's tempo and opaque bytes come back");
  const left = [], right = [];
  for (let i = 0; i < frames; i++) {
    left.push(v.getFloat32(64 + 4 * i, true));
    right.push(v.getFloat32(64 + 4 * (frames + i), true));
  }
  return {position: v.getInt32(8, true), left, right};
}

// Streams blocks through the gain (set to one half) and the delay, and checks
// every sample that comes back: the delay's samples are swallowed at the start,
// so output sample k is input sample k halved.
async function audio(peer, stream) {
  const total = BLOCK * BLOCKS;
  // Values that halve exactly in float32.
  const left = Array.from({length: total}, (_, i) => (i % 512) / 512);
  const right = left.map((x) => -x);
  for (let b = 0; b < BLOCKS; b++) {
    const at = b * BLOCK;
    peer.ws.send(inputFrame(stream, at, left.slice(at, at + BLOCK), right.slice(at, at + BLOCK)));
  }
  const count = () => peer.binaries.reduce((n, b) => n + new DataView(b).getInt32(12, true), 0);
  await peer.until(() => (count() >= total - DELAY_SAMPLES ? true : undefined), "the processed blocks");
  check(count() === total - DELAY_SAMPLES, `${count()} samples back for ${total} sent`);
  let expectedAt = 0;
  for (const buffer of peer.binaries) {
    const out = readOutput(buffer, stream);
    check(out.position === expectedAt, `output at ${out.position}, wanted ${expectedAt}`);
    const bad = out.left.findIndex((x, i) => x !== left[expectedAt + i] * 0.5 || out.right[i] !== right[expectedAt + i] * 0.5);
    check(bad < 0, `sample ${expectedAt + bad}: ${out.left[bad]}, ${out.right[bad]} for ${left[expectedAt + bad]}`);
    expectedAt += out.left.length;
  }
  peer.binaries.length = 0;

  // A level row for every block the gain metered: its peak in and out in dB,
  // one half being 6 dB down.
  const rows = new Map();
  const keys = new Set();
  await peer.until(() => {
    for (;;) {
      const i = peer.texts.findIndex((m) => m.t === "levels" && m.track === "t1");
      if (i < 0) break;
      for (const slot of peer.texts.splice(i, 1)[0].slots) {
        keys.add(slot.key);
        for (const row of slot.w) rows.set(row[1], row);
      }
    }
    return rows.size >= BLOCKS ? true : undefined;
  }, "levels for every block");
  check(keys.size === 1 && keys.has("g"), `levels only for the metered slot: ${[...keys]}`);
  for (let b = 0; b < BLOCKS; b++) {
    const row = rows.get(b * BLOCK);
    const peak = ((b * BLOCK + BLOCK - 1) % 512) / 512;
    const dB = 20 * Math.log10(peak);
    check(row && row[0] === 0 && row[2] === BLOCK && Math.abs(row[3] - dB) < 0.11 &&
          Math.abs(row[4] - (dB - 6.0206)) < 0.11 && (row[5] === null || row[5] <= 0),
          `level row ${JSON.stringify(row)} for a peak of ${dB.toFixed(2)} dB`);
  }

  const stats = await peer.text((m) => m.t === "stats" && m.tracks.length > 0, "stats with the track");
  const track = stats.tracks[0];
  check(track.track === "t1" && track.latency === DELAY_SAMPLES && track.late === 0 &&
        JSON.stringify(track.slots.map((s) => s.key)) === '["g","d"]' && typeof stats.cpu === "number",
        `stats ${JSON.stringify(stats)}`);
}

// Everything a DAW does on its first and later visits, over one URL:
// hello, pairing with the code, a new connection that authenticates and checks
// the bridge's own mac, the catalog, a chain, audio, levels and stats.
async function dawSession(url, code) {
  const before = checks;
  const encrypted = url.startsWith("wss:");

  let peer = await Peer.open(url);
  const hello = await peer.text(is("hello"), "hello");
  check(hello.v === 1 && hello.app === "Krevlo Bridge" && hello.tls === encrypted &&
        JSON.stringify(hello.formats) === '["AU","VST3","CLAP"]' && /^[0-9a-f]{32}$/.test(hello.nonce),
        `hello ${JSON.stringify(hello)}`);
  const paired = await peer.ask({t: "pair", code, name: "Chromium DAW"}, is("paired", "error"), "paired");
  check(paired.t === "paired" && /^[0-9a-f]{16}$/.test(paired.id) && /^[0-9a-f]{64}$/.test(paired.token),
        `paired ${JSON.stringify(paired)}`);
  const ready = await peer.text(is("ready"), "ready after pairing");
  check(ready.mac === undefined, `ready after pairing ${JSON.stringify(ready)}`);
  await peer.close();

  peer = await Peer.open(url);
  const nonce = (await peer.text(is("hello"), "hello again")).nonce;
  const client = hexOf(crypto.getRandomValues(new Uint8Array(16)));
  const mac = await hmacHex(paired.token, `client|${nonce}|${client}`);
  const authed = await peer.ask({t: "auth", id: paired.id, nonce: client, mac}, is("ready", "error"), "auth");
  check(authed.t === "ready", `auth ${JSON.stringify(authed)}`);
  check(authed.mac === await hmacHex(paired.token, `bridge|${client}|${nonce}`), "the bridge proves it holds the token");

  const plugins = await peer.ask({t: "plugins"}, is("plugins", "error"), "plugins");
  const ids = (plugins.list || []).map((p) => p.id);
  check(plugins.t === "plugins" && ids.includes(GAIN) && ids.includes(DELAY), `catalog ${ids}`);

  // The gain's parameter 10 runs from 0 to 2: 0.25 normalised is one half.
  peer.send({t: "chain", track: "t1", rate: 48000, trackName: "Browser",
             slots: [{key: "g", plugin: GAIN, params: {"10": 0.25}}, {key: "d", plugin: DELAY}]});
  const chain = await peer.text((m) => m.t === "chain" && m.slots.every((s) => s.status === "ok"),
                                "the chain with both plug-ins loaded");
  check(chain.track === "t1" && chain.latency === DELAY_SAMPLES && Number.isInteger(chain.stream),
        `chain ${JSON.stringify(chain)}`);
  peer.send({t: "meter", track: "t1", key: "g", on: true});
  // Requests run in order on the bridge's main thread, frames go straight to the
  // chain: the pong shows the meter is on before the first block.
  const pong = await peer.ask({t: "ping", at: 5}, is("pong"), "pong after meter");
  check(pong.at === 5, `pong ${JSON.stringify(pong)}`);

  await audio(peer, chain.stream);
  await peer.close();
  return {checks: checks - before, id: paired.id};
}

// How an attempt to connect ends: "opened" or the refusal's text.
async function dawRefused(url) {
  try {
    const peer = await Peer.open(url);
    await peer.close();
    return "opened";
  } catch (e) {
    return String(e.message);
  }
}
