'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { spawnSync } = require('node:child_process');
const { FlvCounter } = require('../flv');

function tag(type, ts, body) {
  const h = Buffer.alloc(11);
  h[0] = type;
  h.writeUIntBE(body.length, 1, 3);
  h.writeUIntBE(ts & 0xffffff, 4, 3);
  h[7] = ts >>> 24;
  const prev = Buffer.alloc(4);
  prev.writeUInt32BE(11 + body.length);
  return Buffer.concat([h, body, prev]);
}

const fileHeader = Buffer.from([0x46, 0x4c, 0x56, 1, 5, 0, 0, 0, 9, 0, 0, 0, 0]);

test('counts pictures, key frames, audio and bytes, in any split of the bytes', () => {
  const stream = Buffer.concat([
    fileHeader,
    tag(18, 0, Buffer.from('meta')),
    tag(9, 0, Buffer.from([0x17, 0, 0, 0, 0, 1, 2])),          // AVC sequence header
    tag(8, 0, Buffer.from([0xaf, 0, 0x14, 0x08])),              // AAC sequence header
    tag(9, 0, Buffer.from([0x17, 1, 0, 0, 0, 9, 9, 9])),        // key frame
    tag(9, 66, Buffer.from([0x27, 1, 0, 0, 0, 9])),             // inter frame
    tag(8, 64, Buffer.from([0xaf, 1, 5, 5])),
    tag(9, 0x01000010, Buffer.from([0x27, 1, 0, 0, 0])),        // extended timestamp
  ]);
  for (const piece of [1, 3, 7, 11, stream.length]) {
    const c = new FlvCounter();
    for (let i = 0; i < stream.length; i += piece) c.push(stream.subarray(i, i + piece));
    assert.strictEqual(c.malformed, false);
    assert.deepStrictEqual([c.videoFrames, c.keyFrames, c.audioFrames], [3, 1, 2], `piece ${piece}`);
    assert.strictEqual(c.mediaBytes, 7 + 4 + 8 + 6 + 4 + 5);
    assert.strictEqual(c.lastTimestampMs, 0x01000010);
  }
});

test('stops counting at bytes that are not FLV', () => {
  const c = new FlvCounter();
  c.push(Buffer.from('GIF89a-not-a-stream'));
  assert.strictEqual(c.malformed, true);
  const d = new FlvCounter();
  d.push(Buffer.concat([fileHeader, Buffer.from([0x42, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0])]));
  assert.strictEqual(d.malformed, true);
  assert.strictEqual(d.videoFrames, 0);
});

test('agrees with ffprobe on a file ffmpeg writes', (t) => {
  const os = require('node:os');
  const fs = require('node:fs');
  const path = require('node:path');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'flv-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const file = path.join(dir, 'clip.flv');
  const made = spawnSync('ffmpeg', ['-v', 'error', '-f', 'lavfi', '-i', 'testsrc=size=160x120:rate=25:duration=2',
    '-f', 'lavfi', '-i', 'sine=frequency=440:sample_rate=16000:duration=2', '-c:v', 'libx264', '-g', '10',
    '-c:a', 'aac', '-ac', '1', '-shortest', file]);
  assert.strictEqual(made.status, 0, String(made.stderr));
  const probe = spawnSync('ffprobe', ['-v', 'error', '-select_streams', 'v', '-count_packets',
    '-show_entries', 'stream=nb_read_packets', '-of', 'csv=p=0', file]);
  const c = new FlvCounter();
  c.push(fs.readFileSync(file));
  assert.strictEqual(c.malformed, false);
  assert.strictEqual(c.videoFrames, Number(String(probe.stdout).trim()));
  assert.strictEqual(c.keyFrames, 5);
  assert.ok(c.audioFrames > 20);
});
