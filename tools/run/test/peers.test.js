'use strict';
// The embedded defaults really come up, carry a stream, and leave nothing behind.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { Peers } = require('../peers');

test('display, sound server and RTMP server start, work and stop', { timeout: 90000 }, async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'run-peers-'));
  const saved = { DISPLAY: process.env.DISPLAY, PULSE_SERVER: process.env.PULSE_SERVER };
  const peers = new Peers(dir);
  t.after(async () => {
    await peers.stopAll();
    for (const [k, v] of Object.entries(saved)) { if (v === undefined) delete process.env[k]; else process.env[k] = v; }
    fs.rmSync(dir, { recursive: true, force: true });
  });

  delete process.env.DISPLAY;
  const display = await peers.startDisplay();
  assert.match(display, /^:\d+$/);
  const tree = spawnSync('xwininfo', ['-root', '-tree'], { encoding: 'utf8' });
  assert.match(tree.stdout, /"xclock"/);
  assert.match(tree.stdout, /"xlogo"/);

  process.env.PULSE_SERVER = `unix:${dir}/nothing-here`;
  assert.strictEqual(Peers.soundServerAnswers(), false);
  await peers.startSound();
  assert.strictEqual(Peers.soundServerAnswers(), true);
  const sinks = spawnSync('pactl', ['list', 'short', 'sinks'], { encoding: 'utf8' });
  assert.match(sinks.stdout, /\bcard\b/);

  const records = path.join(dir, 'server');
  fs.mkdirSync(records);
  const base = await peers.startRtmpServer(records);
  assert.match(base, /^rtmp:\/\/127\.0\.0\.1:\d+\/live$/);
  const pub = spawnSync('ffmpeg', ['-v', 'error', '-re', '-f', 'lavfi', '-i', 'testsrc=size=320x240:rate=15:duration=1',
    '-c:v', 'libx264', '-f', 'flv', `${base}/probe`], { timeout: 30000 });
  assert.strictEqual(pub.status, 0, String(pub.stderr));

  const pids = peers.children.map((c) => c.pid);
  await peers.stopAll();
  for (const pid of pids) assert.throws(() => process.kill(pid, 0), /ESRCH/, `process ${pid} still runs`);
  // nginx was asked to close its copy: it is a whole FLV file.
  const probe = spawnSync('ffprobe', ['-v', 'error', '-show_entries', 'stream=width,height', '-of', 'csv=p=0',
    path.join(records, 'probe.flv')], { encoding: 'utf8' });
  assert.strictEqual(probe.stdout.trim(), '320,240');
});
