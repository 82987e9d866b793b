'use strict';
// The main job against a server that goes away: it rides through a short absence and gives up
// on a long one.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { runJobWatching, tempDir } = require('./job.helper');

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
