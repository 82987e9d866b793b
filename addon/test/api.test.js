'use strict';
// The fourteen functions' argument checks and texts, in their order, before and after
// initialize; initialize twice; the direct texts; microphones; uninitialize.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const peers = require('./peers.helper');

const addon = peers.loadAddon();
const NOT_READY = 'live media is null';
const COUNT = 'Wrong number of arguments';
const ARGS = 'Wrong arguments';
const SIZE = 'Wrong arguments width or height';

function throwsType(fn, text) {
  assert.throws(fn, (e) => {
    assert.ok(e instanceof TypeError, `expected a TypeError, got ${e && e.constructor && e.constructor.name}`);
    assert.strictEqual(e.message, text);
    return true;
  });
}

let display;
let pulse;
const texts = [];

test.after(async () => {
  try { addon.uninitialize(); } catch (_) { /* already */ }
  if (pulse) await pulse.stop();
  if (display) await display.stop();
});

test('the module exports the fourteen functions in their order, and index.js adds StreamCore', () => {
  const fourteen = [
    'initialize', 'uninitialize', 'setRunCallback', 'onTimer', 'getMicphoneCount', 'getMicphoneNames', 'openMic',
    'closeMic', 'enumWindowList', 'startRecordApp', 'stopRecordApp', 'publishStream', 'stopPublishStream',
    'forceKeyFrame'];
  const native = require(path.join(peers.buildDir, 'lib', 'streamAddon.node'));
  assert.deepStrictEqual(Object.keys(native), fourteen);
  assert.deepStrictEqual(Object.keys(addon), [...fourteen, 'StreamCore']);
  for (const name of fourteen) {
    assert.strictEqual(addon[name], native[name]);
    assert.strictEqual(typeof addon[name], 'function');
    assert.strictEqual(addon[name].name, name);
  }
});

test('before initialize every endpoint function throws "live media is null" after its own argument errors', () => {
  throwsType(() => addon.getMicphoneCount(), NOT_READY);
  throwsType(() => addon.getMicphoneNames(), COUNT);
  throwsType(() => addon.getMicphoneNames('0'), ARGS);
  throwsType(() => addon.getMicphoneNames(0), NOT_READY);
  throwsType(() => addon.openMic(), COUNT);
  throwsType(() => addon.openMic(true), ARGS);
  throwsType(() => addon.openMic(0), NOT_READY);
  throwsType(() => addon.closeMic(), NOT_READY);
  throwsType(() => addon.enumWindowList(), NOT_READY);
  // Readiness is checked first here, even against missing arguments.
  throwsType(() => addon.startRecordApp(), NOT_READY);
  throwsType(() => addon.stopRecordApp(), NOT_READY);
  throwsType(() => addon.publishStream(), NOT_READY);
  throwsType(() => addon.stopPublishStream(), NOT_READY);
  throwsType(() => addon.forceKeyFrame(), NOT_READY);
  // Functions that never need the endpoint.
  assert.strictEqual(addon.onTimer(), 0);
  addon.setRunCallback();
  addon.uninitialize();
});

test('initialize checks its flag', () => {
  throwsType(() => addon.initialize(), COUNT);
  throwsType(() => addon.initialize('yes'), ARGS);
  throwsType(() => addon.initialize(1), ARGS);
});

test('initialize(true) twice: 1 both times, each followed by "Initialize finish"', async () => {
  display = await peers.startXvfb();
  pulse = await peers.startPulse();
  addon.setRunCallback((t) => texts.push(['first', t]));
  addon.setRunCallback((t) => texts.push(['second', t]));
  assert.strictEqual(addon.initialize(true), 1);
  assert.strictEqual(addon.initialize(true), 1);
  assert.deepStrictEqual(texts, [['second', 'Initialize finish'], ['second', 'Initialize finish']]);
  assert.match(peers.endpointLog(), /Initialize end!/);
  // One endpoint only: the second call did not initialize again.
  assert.strictEqual((peers.endpointLog().match(/Initialize end!/g) || []).length, 1);
  assert.strictEqual(addon.onTimer(), 0, 'nothing is queued');
});

test('startRecordApp checks, in order', () => {
  const ok = ['/tmp/x.flv', 0, 320, 240, 500, false, 30];
  const w = (i, v) => { const a = ok.slice(); a[i] = v; return a; };
  throwsType(() => addon.startRecordApp(...ok.slice(0, 6)), COUNT);
  throwsType(() => addon.startRecordApp(...w(0, 5)), ARGS);
  throwsType(() => addon.startRecordApp(...w(1, '0')), ARGS);
  for (const i of [2, 3, 4, 6]) throwsType(() => addon.startRecordApp(...w(i, '1')), SIZE);
  throwsType(() => addon.startRecordApp(...w(5, 1)), 'Wrong arguments bool');
  throwsType(() => addon.startRecordApp(...w(0, '')), 'Wrong arguments file name');
  // Order: the count before the types, the types before the empty name.
  throwsType(() => addon.startRecordApp('', '0', 1, 1, 1, 1), COUNT);
  throwsType(() => addon.startRecordApp('', '0', 1, 1, 1, 1, 1), ARGS);
  throwsType(() => addon.startRecordApp('', 0, 1, 1, 1, 1, 1), 'Wrong arguments bool');
  // A name the endpoint would have to cut is refused whole.
  throwsType(() => addon.startRecordApp(...w(0, `/tmp/${'a'.repeat(251)}`)), 'Wrong arguments file name too long');
  throwsType(() => addon.startRecordApp(...w(0, `/tmp/${'\u00e9'.repeat(126)}`)), 'Wrong arguments file name too long');
  throwsType(() => addon.startRecordApp(...w(0, '/tmp/a\u0000b.flv')), 'Wrong arguments file name holds a NUL byte');
  assert.strictEqual(peers.engineCaptures().started.length, 0, 'no check started a capture');
});

test('publishStream checks, in order', () => {
  const ok = [0, 'rtmp://127.0.0.1:1/live/x', 320, 240, 500, 'live', 30];
  const w = (i, v) => { const a = ok.slice(); a[i] = v; return a; };
  throwsType(() => addon.publishStream(...ok.slice(0, 4)), COUNT);
  throwsType(() => addon.publishStream(...ok.slice(0, 5)), SIZE);
  throwsType(() => addon.publishStream(...ok.slice(0, 6)), SIZE);
  throwsType(() => addon.publishStream(...w(0, '0')), ARGS);
  throwsType(() => addon.publishStream(...w(1, 7)), ARGS);
  for (const i of [2, 3, 4, 6]) throwsType(() => addon.publishStream(...w(i, null)), SIZE);
  throwsType(() => addon.publishStream(...w(1, '')), 'Wrong arguments stream url');
  throwsType(() => addon.publishStream('0', '', 1, 1, 1), ARGS);
  throwsType(() => addon.publishStream(0, '', 1, 1, 1), SIZE);
  throwsType(() => addon.publishStream(...w(1, `rtmp://127.0.0.1:1/live/${'s'.repeat(240)}`)),
    'Wrong arguments stream url too long');
  throwsType(() => addon.publishStream(...w(1, 'rtmp://127.0.0.1:1/live/\u0100')),
    'Wrong arguments stream url holds a NUL byte');
  throwsType(() => addon.publishStream(...w(5, 'm'.repeat(256))), 'Wrong arguments mode too long');
  assert.strictEqual(peers.engineCaptures().started.length, 0, 'no check started a capture');
});

test('forceKeyFrame checks, in order', () => {
  throwsType(() => addon.forceKeyFrame(), COUNT);
  throwsType(() => addon.forceKeyFrame(1), ARGS);
  throwsType(() => addon.forceKeyFrame(''), 'Wrong arguments stream url');
  throwsType(() => addon.forceKeyFrame('r'.repeat(256)), 'Wrong arguments stream url too long');
  assert.strictEqual(addon.forceKeyFrame('rtmp://127.0.0.1:1/live/none'), false, 'nothing is published there');
});

test('microphones: names of the sound server, "error" for a bad index', () => {
  throwsType(() => addon.getMicphoneNames(), COUNT);
  throwsType(() => addon.getMicphoneNames('1'), ARGS);
  throwsType(() => addon.openMic(), COUNT);
  throwsType(() => addon.openMic({}), ARGS);
  const count = addon.getMicphoneCount();
  assert.ok(count >= 1, `the sine source is a microphone (count ${count})`);
  for (let i = 0; i < count; ++i) assert.notStrictEqual(addon.getMicphoneNames(i), 'error');
  assert.strictEqual(addon.getMicphoneNames(count), 'error');
  assert.strictEqual(addon.getMicphoneNames(-1), 'error');
  assert.strictEqual(addon.openMic(count + 5), false);
  assert.strictEqual(addon.openMic(0), true);
  assert.strictEqual(typeof addon.closeMic(), 'boolean');
});

test('enumWindowList returns the JSON text of the endpoint, titles as UTF-8 text', async () => {
  const build = peers.buildDir;
  const log = path.join(peers.tempDir('titles'), 'testwin.log');
  peers.start([path.join(build, 'bin', 'paneshare_testwin'), 'w:title=\u4e2d\u6587 \u00e9;size=200x100'], log);
  assert.ok(await peers.waitUntil(() => fs.existsSync(log) && fs.readFileSync(log, 'utf8').includes('ready'), 10000),
    fs.existsSync(log) && fs.readFileSync(log, 'utf8'));
  const text = addon.enumWindowList();
  assert.ok(text.includes('"windowName":"\u4e2d\u6587 \u00e9"'), text);
  assert.ok(JSON.parse(text).windowList.some((w) => w.windowName === '\u4e2d\u6587 \u00e9'));
});

test('stops with nothing running report true', () => {
  assert.strictEqual(addon.stopRecordApp(), true);
  assert.strictEqual(addon.stopPublishStream(), true);
});

test('uninitialize: "Uninitialize finish", then the endpoint functions are not ready again', () => {
  texts.length = 0;
  addon.setRunCallback(42); // not a function: the text is dropped
  addon.uninitialize();
  assert.deepStrictEqual(texts, []);
  addon.setRunCallback((t) => texts.push(t));
  addon.uninitialize();
  assert.deepStrictEqual(texts, ['Uninitialize finish']);
  throwsType(() => addon.getMicphoneCount(), NOT_READY);
  throwsType(() => addon.publishStream(0, 'rtmp://127.0.0.1:1/live/x', 1, 1, 1, '', 30), NOT_READY);
  // A new endpoint can be made afterwards.
  assert.strictEqual(addon.initialize(false), 1);
  assert.deepStrictEqual(texts, ['Uninitialize finish', 'Initialize finish']);
  addon.uninitialize();
});
