'use strict';
// The main job end to end: real addon, endpoint and engine, against the embedded defaults it
// starts itself (no DISPLAY, no sound server).
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const net = require('node:net');
const { spawn, spawnSync } = require('node:child_process');

const MAIN = path.join(__dirname, '..', 'main.js');

function runJob(args, dir) {
  return runJobWatching(args, dir, () => {});
}

function probe(file) {
  const r = spawnSync('ffprobe', ['-v', 'error', '-show_entries', 'stream=codec_name,width,height,sample_rate,channels',
    '-of', 'json', file], { encoding: 'utf8' });
  assert.strictEqual(r.status, 0, r.stderr);
  return JSON.parse(r.stdout).streams;
}

// Amplitude of one frequency in 16 kHz mono samples (Goertzel).
function toneLevel(samples, hz) {
  const k = 2 * Math.cos((2 * Math.PI * hz) / 16000);
  let a = 0;
  let b = 0;
  for (const x of samples) { const c = x + k * a - b; b = a; a = c; }
  return (2 * Math.sqrt(Math.max(0, a * a + b * b - k * a * b))) / samples.length;
}

// The last whole second of a file's sound as 16 kHz mono samples.
function lastSecond(file) {
  const r = spawnSync('ffmpeg', ['-v', 'error', '-i', file, '-vn', '-ac', '1', '-ar', '16000', '-f', 's16le', '-'],
    { maxBuffer: 1 << 26 });
  assert.strictEqual(r.status, 0, String(r.stderr));
  const all = new Int16Array(r.stdout.buffer, r.stdout.byteOffset, r.stdout.length >> 1);
  return Array.from(all.subarray(Math.max(0, all.length - 24000), all.length - 8000));
}

function tempDir(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'run-job-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

test('shares a window to the embedded server and records it at the same time', { timeout: 120000 }, async (t) => {
  const dir = tempDir(t);
  const rec = path.join(dir, 'lesson.mp4');
  const r = await runJob(['--seconds', '5', '--window', 'xclock', '--size', '640x360', '--output', rec], dir);
  assert.strictEqual(r.code, 0, r.out + r.err);
  const progress = r.out.split('\n').filter((l) => /^\[\s*\d+ s\] sent \d+ frames \(\d+ key\), \d+ kbit\/s, \d+ audio frames; \d+ events?$/.test(l));
  assert.ok(progress.length >= 4, r.out);
  const frames = Number(/sent (\d+) frames/.exec(progress[progress.length - 1])[1]);
  assert.ok(frames > 20, progress.join('\n'));
  assert.match(r.out, /event: \{"eventid":6001,"result":0,"rtmpurl":"lesson"\}/);

  const want = [{ codec_name: 'h264', width: 640, height: 360 }, { codec_name: 'aac', sample_rate: '16000', channels: 1 }];
  const pick = (s) => (s.codec_name === 'h264' ? { codec_name: s.codec_name, width: s.width, height: s.height }
    : { codec_name: s.codec_name, sample_rate: s.sample_rate, channels: s.channels });
  assert.match(r.out, new RegExp(`recording: ${rec}\\n  video h264 640x360 `));
  assert.deepStrictEqual(probe(rec).map(pick), want);
  // The mix carries both the sound card's 440 Hz and the microphone's 880 Hz, steadily.
  const sound = lastSecond(rec);
  for (let at = 0; at + 1600 <= sound.length; at += 1600) {
    const piece = sound.slice(at, at + 1600);
    const levels = [440, 880, 660].map((hz) => Math.round(toneLevel(piece, hz)));
    assert.ok(levels[0] > 2000 && levels[1] > 2000 && levels[2] < 500, `at ${at}: 440/880/660 Hz ${levels}`);
  }
  const copy = /server copy: (\S+)/.exec(r.out)[1];
  assert.deepStrictEqual(probe(copy).map(pick).sort((a, b) => a.codec_name.localeCompare(b.codec_name)),
    [want[1], want[0]]);
  // Every peer it started is gone.
  const runDir = /logs: (\S+)/.exec(r.out)[1];
  const left = spawnSync('pgrep', ['-f', runDir], { encoding: 'utf8' }).stdout.trim();
  assert.strictEqual(left, '', 'processes of the run are left');
});

test('bad input and an unreachable server end with one clear line', { timeout: 120000 }, async (t) => {
  const dir = tempDir(t);
  let r = await runJob(['--window', 'no such window', '--seconds', '2'], dir);
  assert.strictEqual(r.code, 2, r.out + r.err);
  assert.match(r.err, /^run: no window titled 'no such window' \(windows: .*'xclock'.*\)\n$/);

  r = await runJob(['--output', path.join(dir, 'missing', 'x.mp4')], dir);
  assert.strictEqual(r.code, 2);
  assert.match(r.err, /^run: cannot write the recording to .*: folder .* does not exist\n$/);

  const port = await new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
  });
  r = await runJob(['--url', `rtmp://127.0.0.1:${port}/live/nobody`, '--seconds', '8',
    '--output', path.join(dir, 'x.mp4')], dir);
  assert.strictEqual(r.code, 1, r.out + r.err);
  assert.match(r.out, /event: \{"eventid":6001,"result":-1,"rtmpurl":"nobody"\}/);
  assert.match(r.err, /the server refused or could not be reached/);
});

test('with --url it publishes to that server and counts what the server relays back', { timeout: 120000 }, async (t) => {
  const dir = tempDir(t);
  const { Peers } = require('../peers');
  const server = new Peers(dir);
  t.after(() => server.stopAll());
  const records = path.join(dir, 'elsewhere');
  fs.mkdirSync(records);
  const base = await server.startRtmpServer(records);
  const r = await runJob(['--url', `${base}/away`, '--seconds', '7', '--size', '320x240',
    '--output', path.join(dir, 'away.flv')], dir);
  assert.strictEqual(r.code, 0, r.out + r.err);
  assert.match(r.out, /event: \{"eventid":6001,"result":0,"rtmpurl":"away"\}/);
  const relayed = Number(/its relay carried (\d+) frames back here/.exec(r.out)[1]);
  assert.ok(relayed > 10, r.out);
  await server.stopAll();
  const pick = (s) => `${s.codec_name}${s.width ? ` ${s.width}x${s.height}` : ''}`;
  assert.deepStrictEqual(probe(path.join(records, 'away.flv')).map(pick).sort(), ['aac', 'h264 320x240']);
  assert.deepStrictEqual(probe(path.join(dir, 'away.flv')).map(pick).sort(), ['aac', 'h264 320x240']);
});

// Runs the job and resolves with its result; onLine sees every line of its output as it comes.
function runJobWatching(args, dir, onLine) {
  const env = { ...process.env, STREAMCORE_RUN_DIR: dir, PULSE_SERVER: `unix:${dir}/no-sound-server` };
  delete env.DISPLAY;
  return new Promise((resolve) => {
    const child = spawn(process.execPath, [MAIN, ...args], { env, stdio: ['ignore', 'pipe', 'pipe'] });
    let out = '';
    let err = '';
    let partial = '';
    child.stdout.on('data', (d) => {
      out += d;
      const lines = (partial + d).split('\n');
      partial = lines.pop();
      lines.forEach(onLine);
    });
    child.stderr.on('data', (d) => { err += d; });
    child.on('exit', (code) => resolve({ code, out, err }));
  });
}

test('rides through a server away for 2 s; gives up when it stays away', { timeout: 120000 }, async (t) => {
  const dir = tempDir(t);
  const { Peers, sleep } = require('../peers');
  const server = new Peers(dir);
  t.after(() => server.stopAll());
  const records = path.join(dir, 'server');
  fs.mkdirSync(records);
  const base = await server.startRtmpServer(records);
  const port = Number(/:(\d+)\//.exec(base)[1]);

  // Away for 2 s after the stream stood for 3 s: the job carries on and ends standing.
  let step = 0;
  let r = await runJobWatching(['--url', `${base}/ride`, '--seconds', '12', '--size', '320x240',
    '--output', path.join(dir, 'ride.flv')], dir, (line) => {
    if (step === 0 && /^\[\s*4 s\] sent/.test(line)) {
      step = 1;
      server.stopRtmpServer().then(() => sleep(2000)).then(() => server.startRtmpServer(records, port));
    }
  });
  assert.strictEqual(r.code, 0, r.out + r.err);
  assert.match(r.out, /\] reconnecting \(attempt [1-9]\d*\), away \d+ s;/);
  assert.strictEqual((r.out.match(/"eventid":6001,"result":0/g) || []).length, 2, r.out);
  assert.match(r.out, /connection: dropped 1 time; standing at the end/);
  // The stream after the return reached the server whole.
  await server.stopRtmpServer();
  const frames = spawnSync('ffprobe', ['-v', 'error', '-count_frames', '-select_streams', 'v', '-show_entries',
    'stream=nb_read_frames', '-of', 'csv=p=0', path.join(records, 'ride.flv')], { encoding: 'utf8' });
  assert.ok(Number(frames.stdout) > 40, frames.stdout + frames.stderr);

  // Away for good: it ends after --give-up seconds, not at --seconds, and says so.
  await server.startRtmpServer(records, port);
  step = 0;
  r = await runJobWatching(['--url', `${base}/gone`, '--seconds', '60', '--give-up', '3', '--size', '320x240',
    '--output', path.join(dir, 'gone.flv')], dir, (line) => {
    if (step === 0 && /^\[\s*2 s\] sent/.test(line)) {
      step = 1;
      server.stopRtmpServer();
    }
  });
  assert.strictEqual(r.code, 1, r.out + r.err);
  assert.match(r.out, /stopping: no connection to the server for 3 s/);
  assert.match(r.err, /the stream was not connected at the end/);
});
