'use strict';
// Whose is what, against the real peers: each result reaches the publication of exactly its
// url; an ended source and a failed recording reach their owner as "error"; an object stays
// alive while it runs something and nobody references it; a worker thread's end stops only
// what that thread started.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const { Worker } = require('worker_threads');
const peers = require('./peers.helper');
const { within } = require('../../tools/run/peers');

const addonDir = path.join(__dirname, '..');
const addon = peers.loadAddon();
const { StreamCore } = addon;

let display;
let pulse;
let nginx;

test.before(async () => {
  display = await peers.startXvfb();
  pulse = await peers.startPulse();
  nginx = await peers.startNginx();
  // A camera that plays noise: frames that do not compress away, to fill a small disk fast.
  const clip = path.join(peers.tempDir('camera'), 'noise.nut');
  const made = peers.run(['ffmpeg', '-v', 'error', '-y', '-f', 'lavfi', '-i', 'testsrc2=size=320x240:rate=15', '-vf',
    'noise=alls=60:allf=t', '-frames:v', '30', '-c:v', 'rawvideo', '-pix_fmt', 'yuv420p', clip]);
  assert.strictEqual(made.status, 0, made.stderr);
  process.env.CAMPORT_PATTERN_CAMERAS = `${clip},YUY2:320x240@15`;
});

test.after(async () => {
  if (nginx) await nginx.stop();
  if (pulse) await pulse.stop();
  if (display) await display.stop();
});

const small = { width: 160, height: 120, fps: 15, kbps: 300 };
const size = (file) => (fs.existsSync(file) ? fs.statSync(file).size : 0);
const settled = (promise) => Promise.race([promise.then(() => 'resolved', (e) => e.message), peers.sleep(5000).then(() => 'pending')]);

// Runs a script in a node of its own (with the addon's build and this process's peers); its
// output lines.
function runScript(script, prefix = [], nodeArgs = []) {
  const file = path.join(peers.tempDir('script'), 'script.js');
  fs.writeFileSync(file, script);
  const r = peers.run([...prefix, process.execPath, ...nodeArgs, file], { STREAMCORE_BUILD: peers.buildDir },
    { timeout: 60000 });
  assert.strictEqual(r.status, 0, r.stdout + r.stderr);
  return r.stdout.trim().split('\n');
}

test('results reach the publication of exactly their url; the module hears only its own', { timeout: 60000 },
  async (t) => {
    const closed = await peers.closedPort();
    assert.strictEqual(addon.initialize(false), 1);
    const texts = [];
    addon.setRunCallback((text) => texts.push(text));
    const sc = new StreamCore();
    t.after(() => { sc.close(); addon.uninitialize(); });
    const events = [];
    sc.on('publish', (e) => events.push(e));
    const source = sc.captureWindow(0, small);
    // Two publications whose urls end alike, one to a server and one to nowhere; the module
    // publishes to nowhere under the same stream name.
    const good = sc.publish(nginx.url('lesson'), { video: source });
    const dead = sc.publish(`rtmp://127.0.0.1:${closed}/live/lesson`, { video: source });
    assert.strictEqual(addon.publishStream(0, `rtmp://127.0.0.1:${closed}/other/lesson`, 160, 120, 300, 'live', 15), 0);
    assert.ok(await within(good.connected, 20000), 'the good publication did not connect');
    assert.ok(await peers.waitUntil(() => {
      while (addon.onTimer() > 0) { /* take everything queued */ }
      return events.filter((e) => e.url === dead.url).length >= 2 && texts.length >= 2;
    }, 20000), JSON.stringify({ events, texts }));

    assert.deepStrictEqual(events.filter((e) => e.url === good.url), [{ url: good.url, stream: 'lesson', result: 0 }]);
    assert.ok(events.every((e) => e.url === good.url || (e.url === dead.url && e.result === -1)), JSON.stringify(events));
    assert.strictEqual(await settled(dead.connected), 'pending');
    assert.ok(texts.every((text) => text === '{"eventid":6001,"result":-1,"rtmpurl":"lesson"}\n'), texts.join(''));
  });

test('a recording on a full disk ends with an "error" on it and a false stop; the other goes on',
  { timeout: 90000, skip: process.getuid() !== 0 && 'needs root to mount a small disk' }, () => {
    const disk = peers.tempDir('disk');
    const outside = peers.tempDir('kept');
    const full = path.join(disk, 'full.flv');
    const kept = path.join(outside, 'kept.flv');
    const copy = path.join(outside, 'full-copy.flv');
    const [line] = runScript(`
const fs = require('fs');
const { StreamCore } = require(${JSON.stringify(addonDir)});
const sc = new StreamCore();
const camera = sc.cameras().find((c) => c.id.startsWith('pattern:'));
const source = sc.openCamera(camera.id, { width: 320, height: 240, fps: 15 });
const full = sc.record(${JSON.stringify(full)}, { video: source, audio: 'mix' });
const kept = sc.record(${JSON.stringify(kept)}, { video: source, audio: 'mix' });
const bound = setTimeout(() => { console.log('{"timeout":true}'); process.exit(1); }, 45000);
full.on('error', (e) => {
  const at = fs.statSync(${JSON.stringify(kept)}).size;
  const poll = setInterval(() => {
    if (fs.statSync(${JSON.stringify(kept)}).size < at + 20000) return;
    clearInterval(poll);
    clearTimeout(bound);
    const out = { message: e.message, file: e.file, full: full.stop(), again: full.stop(), kept: kept.stop() };
    // The small disk goes with this process.
    fs.copyFileSync(${JSON.stringify(full)}, ${JSON.stringify(copy)});
    sc.close();
    console.log(JSON.stringify(out));
  }, 100);
});`, ['unshare', '-m', 'sh', '-c', `mount -t tmpfs -o size=64k tmpfs ${disk} && exec "$0" "$@"`]);
    const out = JSON.parse(line);
    assert.deepStrictEqual(out, {
      message: `recording ${full} failed: the file could not be written (No space left on device)`,
      file: full, full: false, again: false, kept: true,
    });
    // What was written before the disk filled plays; the other file holds more.
    const frames = (file) => Number(peers.run(['ffprobe', '-v', 'error', '-count_frames', '-select_streams', 'v',
      '-show_entries', 'stream=nb_read_frames', '-of', 'csv=p=0', file]).stdout);
    assert.ok(frames(copy) > 0, 'the failed recording does not play');
    assert.ok(frames(kept) > frames(copy), `${frames(kept)} frames kept, ${frames(copy)} before the disk filled`);
  });

test('an object referenced only by its promise publishes until close(); close() rejects what is pending',
  { timeout: 60000 }, async () => {
    const url = nginx.url('unreferenced');
    const lines = runScript(`
const { StreamCore } = require(${JSON.stringify(addonDir)});
(() => {
  const sc = new StreamCore();
  const live = sc.publish(${JSON.stringify(url)}, { video: sc.captureWindow(0, ${JSON.stringify(small)}) });
  live.connected.then(() => {
    // The first picture went out before the connection stood: start the server's copy now.
    live.forceKeyFrame();
    setTimeout(() => { sc.close(); console.log('closed'); }, 4000);
  });
})();
setInterval(() => global.gc(), 20).unref();`, [], ['--expose-gc']);
    assert.deepStrictEqual(lines, ['closed']);
    const duration = Number(peers.run(['ffprobe', '-v', 'error', '-show_entries', 'format=duration', '-of', 'csv=p=0',
      nginx.recording('unreferenced')]).stdout);
    assert.ok(duration >= 3, `the server holds ${duration} s`);

    const sc = new StreamCore();
    const pending = sc.publish(`rtmp://127.0.0.1:${await peers.closedPort()}/live/never`, { audio: 'mix' });
    sc.close();
    assert.strictEqual(await settled(pending.connected), 'StreamCore is closed');
  });

test('a worker that loads the module and ends stops what it started and nothing else', { timeout: 60000 },
  async (t) => {
    const sc = new StreamCore({ log: true });
    t.after(() => { try { sc.close(); } catch (_) { /* closed by the test */ } });
    const source = sc.captureWindow(0, small);
    const live = sc.publish(nginx.url('beside'), { video: source });
    assert.ok(await within(live.connected, 20000), 'no connection');
    const worker = new Worker(`
const addon = require(${JSON.stringify(addonDir)});
addon.initialize(false);
new addon.StreamCore().captureWindow(0, ${JSON.stringify(small)});`, { eval: true });
    const exited = new Promise((resolve) => worker.on('exit', resolve));
    assert.strictEqual(await within(exited, 20000), true, 'the worker did not end');

    // The worker's capture stopped with it; this thread's object goes on publishing.
    assert.ok(await peers.waitUntil(() => {
      const captures = peers.engineCaptures();
      return captures.started.length === 2 && captures.running.join() === source.name;
    }, 5000), JSON.stringify(peers.engineCaptures()));
    assert.doesNotThrow(() => sc.microphones());
    const before = size(nginx.recording('beside'));
    assert.ok(await peers.waitUntil(() => size(nginx.recording('beside')) > before + 500, 10000), 'the publication stalled');
    const ends = () => (peers.endpointLog().match(/UnInitialize! end/g) || []).length;
    const endsBefore = ends();
    sc.close();
    assert.strictEqual(ends(), endsBefore + 1, 'the endpoint did not end with its last user');
  });

test('a captured window that goes away is an "error" naming its source; the other source records on',
  { timeout: 60000 }, async (t) => {
    const window = await peers.startHelperWindow(200, 150, 'leaving');
    const sc = new StreamCore();
    t.after(() => sc.close());
    const leaving = sc.captureWindow(window.id, small);
    const desktop = sc.captureWindow(0, small);
    const file = path.join(peers.tempDir('ended'), 'desktop.flv');
    const recording = sc.record(file, { video: desktop });
    const error = new Promise((resolve) => sc.once('error', resolve));
    await window.stop();
    assert.ok(await within(error, 15000), 'no "error" event');
    const e = await error;
    assert.strictEqual(e.source, leaving);
    assert.match(e.message, new RegExp(`^source ${leaving.name} ended: `));
    const before = size(file);
    assert.ok(await peers.waitUntil(() => size(file) > before + 1000, 10000), 'the other recording stopped');
    assert.strictEqual(recording.stop(), true);
  });
