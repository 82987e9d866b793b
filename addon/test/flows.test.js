'use strict';
// Recording and publishing against the real endpoint and engine: the frame rates each flow
// passes on, the desktop as the root window, captures shared or kept apart, and no capture of
// ours left running once the uses have stopped. The engine's log lines tell which captures it
// started (with their size, rate and bitrate) and which it stopped.
const test = require('node:test');
const assert = require('node:assert');
const path = require('path');
const peers = require('./peers.helper');

const addon = peers.loadAddon();
let display;
let pulse;
let nginx;
let dir;
let rootId;

test.before(async () => {
  display = await peers.startXvfb();
  pulse = await peers.startPulse();
  nginx = await peers.startNginx();
  dir = peers.tempDir('flows');
  rootId = parseInt(/Window id: (0x[0-9a-f]+)/.exec(peers.run(['xwininfo', '-root']).stdout)[1], 16);
  addon.setRunCallback(() => {});
  assert.strictEqual(addon.initialize(true), 1);
});

test.after(async () => {
  try { addon.uninitialize(); } catch (_) { /* already */ }
  if (nginx) await nginx.stop();
  if (pulse) await pulse.stop();
  if (display) await display.stop();
});

const file = (name) => path.join(dir, name);
const started = () => peers.engineCaptures().started;
const running = () => peers.engineCaptures().running;
const last = () => started()[started().length - 1];

test('the recording rate: 11 to 50 pass, 9, 10, 51 and 52 become 30', () => {
  for (const [asked, used] of [[9, 30], [10, 30], [11, 11], [50, 50], [51, 30], [52, 30]]) {
    const before = started().length;
    assert.strictEqual(addon.startRecordApp(file(`rate${asked}.flv`), 0, 320, 240, 500, true, asked), 0);
    assert.strictEqual(started().length, before + 1);
    assert.deepStrictEqual({ ...last(), name: undefined },
      { name: undefined, width: 320, height: 240, fps: used, kbps: 500 }, `rate ${asked}`);
    assert.strictEqual(addon.stopRecordApp(), true);
    assert.deepStrictEqual(running(), []);
  }
});

test('the publishing rate: 10 to 51 pass, 9 and 52 become 30', () => {
  for (const [asked, used] of [[9, 30], [10, 10], [51, 51], [52, 30]]) {
    const before = started().length;
    assert.strictEqual(addon.publishStream(0, nginx.url(`rate${asked}`), 320, 240, 500, 'live', asked), 0);
    assert.strictEqual(started().length, before + 1);
    assert.strictEqual(last().fps, used, `rate ${asked}`);
    assert.strictEqual(addon.stopPublishStream(), true);
    assert.deepStrictEqual(running(), []);
  }
});

test('the mode text picks the publish type the server sees: "record", "append", anything else live', async () => {
  for (const [mode, type] of [['record', 'record'], ['append', 'append'], ['Record', 'live'], [7, 'live']]) {
    const name = `mode${type}${typeof mode}`;
    assert.strictEqual(addon.publishStream(0, nginx.url(name), 160, 120, 300, mode, 15), 0);
    const seen = await peers.waitUntil(() => new RegExp(`publish: name='${name}' args='' type=(\\w+)`).exec(nginx.errorLog()),
      20000);
    assert.strictEqual(addon.stopPublishStream(), true);
    assert.ok(seen, `the server saw no publish of ${name}`);
    assert.strictEqual(seen[1], type, `mode ${JSON.stringify(mode)}`);
  }
});

test('forceKeyFrame is true for the url being published, false for any other', () => {
  assert.strictEqual(addon.publishStream(0, nginx.url('keys'), 160, 120, 300, 'live', 15), 0);
  assert.strictEqual(addon.forceKeyFrame(nginx.url('keys')), true);
  assert.strictEqual(addon.forceKeyFrame(nginx.url('other')), false);
  assert.strictEqual(addon.stopPublishStream(), true);
  assert.deepStrictEqual(running(), []);
});

test('window 0 captures the desktop through its root window id', () => {
  assert.strictEqual(addon.startRecordApp(file('desk.flv'), 0, 320, 240, 500, true, 20), 0);
  assert.strictEqual(last().name.split('#')[3], `0x${rootId.toString(16)}`);
  assert.strictEqual(addon.stopRecordApp(), true);
});

test('a second start while active returns 0 and starts nothing', () => {
  const before = started().length;
  assert.strictEqual(addon.startRecordApp(file('once.flv'), 0, 320, 240, 500, true, 20), 0);
  assert.strictEqual(addon.startRecordApp(file('twice.flv'), 0, 640, 480, 900, true, 25), 0);
  assert.strictEqual(addon.publishStream(0, nginx.url('once'), 160, 120, 300, 'live', 15), 0);
  assert.strictEqual(addon.publishStream(0, nginx.url('twice'), 640, 480, 900, 'record', 25), 0);
  assert.strictEqual(started().length, before + 2);
  assert.strictEqual(addon.stopRecordApp(), true);
  assert.strictEqual(addon.stopPublishStream(), true);
  assert.deepStrictEqual(running(), []);
  assert.ok(!require('fs').existsSync(file('twice.flv')));
});

test('one capture shared: stopRecordApp leaves it running for the publication, stopPublishStream stops it', () => {
  const before = started().length;
  assert.strictEqual(addon.publishStream(0, nginx.url('shared'), 320, 240, 500, 'live', 20), 0);
  assert.strictEqual(addon.startRecordApp(file('shared.flv'), 0, 320, 240, 500, true, 20), 0);
  assert.strictEqual(started().length, before + 1, 'the same window, size and rate share one capture');
  const capture = last().name;
  assert.deepStrictEqual(running(), [capture]);
  assert.strictEqual(addon.stopRecordApp(), true);
  assert.deepStrictEqual(running(), [capture], 'publishing still captures');
  assert.strictEqual(addon.stopPublishStream(), true);
  assert.deepStrictEqual(running(), []);
});

test('different asks keep their own captures, and each stops with its use', () => {
  const before = started().length;
  assert.strictEqual(addon.startRecordApp(file('own.flv'), 0, 320, 240, 500, true, 20), 0);
  const recording = last().name;
  assert.strictEqual(addon.publishStream(0, nginx.url('own'), 160, 120, 300, 'live', 20), 0);
  const publishing = last().name;
  assert.strictEqual(started().length, before + 2);
  assert.notStrictEqual(recording, publishing);
  assert.strictEqual(addon.stopRecordApp(), true);
  assert.deepStrictEqual(running(), [publishing]);
  assert.strictEqual(addon.stopPublishStream(), true);
  assert.deepStrictEqual(running(), []);
});

test('failures: 6001 for a window that does not exist, 6002 for an unwritable file, no capture left behind', () => {
  assert.strictEqual(addon.startRecordApp(file('none.flv'), 0x1ffffff0, 320, 240, 500, true, 20), 6001);
  assert.strictEqual(addon.publishStream(0x1ffffff0, nginx.url('none'), 320, 240, 500, 'live', 20), 6001);
  assert.strictEqual(addon.startRecordApp('/nonexistent-folder/a.flv', 0, 320, 240, 500, true, 20), 6002);
  assert.strictEqual(addon.startRecordApp(file('bad.txt'), 0, 320, 240, 500, true, 20), 6002);
  assert.deepStrictEqual(running(), []);
  // Nothing is active after the failures.
  assert.strictEqual(addon.stopRecordApp(), true);
  assert.strictEqual(addon.stopPublishStream(), true);
});

test('uninitialize while recording and publishing stops every capture of ours', () => {
  assert.strictEqual(addon.startRecordApp(file('end.flv'), 0, 320, 240, 500, true, 20), 0);
  assert.strictEqual(addon.publishStream(0, nginx.url('end'), 160, 120, 300, 'live', 20), 0);
  assert.strictEqual(running().length, 2);
  const log = peers.endpointLog();
  addon.uninitialize();
  // The stops are logged before the engine goes (its log ends with the endpoint's).
  assert.deepStrictEqual(peers.engineCaptures().running, [], peers.endpointLog().slice(log.length));
});
