'use strict';
// The main job end to end: real addon, endpoint and engine, against the embedded defaults it
// starts itself (no DISPLAY, no sound server).
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const net = require('node:net');
const { spawnSync } = require('node:child_process');
const { runJob, tempDir } = require('./job.helper');

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

test('a recording on a full disk fails the job with its file and why; the stream goes on',
  { timeout: 120000, skip: process.getuid() !== 0 && 'needs root to mount a small disk' }, async (t) => {
    const dir = tempDir(t);
    const disk = path.join(dir, 'disk');
    fs.mkdirSync(disk);
    const rec = path.join(disk, 'lesson.mp4');
    // A small disk, most of it taken: it fills within a few seconds of a desktop's stream.
    const r = await runJob(['--seconds', '8', '--output', rec], dir, ['unshare', '-m', 'sh', '-c',
      `mount -t tmpfs -o size=64k tmpfs ${disk} && head -c 40000 /dev/zero >${disk}/filler && exec "$0" "$@"`]);
    assert.strictEqual(r.code, 1, r.out + r.err);
    assert.strictEqual(r.err, `run: the recording ${rec} failed: the file could not be written (No space left on device)\n`);
    // What was written before the disk filled plays; the server got the whole stream.
    const [recorded, copy] = [...r.out.matchAll(/video h264 \S+ \S+ fps, (\d+) frames/g)].map((m) => Number(m[1]));
    assert.ok(recorded > 0 && copy > recorded, r.out);
  });
