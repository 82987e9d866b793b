'use strict';
// The class StreamCore against the real peers: devices, windows and thumbnails; a pattern
// camera previewed, published and recorded; a window published with the mix beside the module's
// functions; a stream ffmpeg publishes played into windows; wrong arguments, close, collection
// and exit.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const peers = require('./peers.helper');

const addon = peers.loadAddon();
const { StreamCore } = addon;

let display;
let pulse;
let nginx;
let dir;

test.before(async () => {
  display = await peers.startXvfb();
  pulse = await peers.startPulse();
  nginx = await peers.startNginx();
  dir = peers.tempDir('streamcore');
  // Camera 0 plays a testsrc picture and lists two formats.
  const clip = path.join(dir, 'testsrc.nut');
  const made = peers.run(['ffmpeg', '-v', 'error', '-y', '-f', 'lavfi', '-i', 'testsrc=size=640x480:rate=30',
    '-frames:v', '1', '-c:v', 'rawvideo', '-pix_fmt', 'yuv420p', clip]);
  assert.strictEqual(made.status, 0, made.stderr);
  process.env.CAMPORT_PATTERN_CAMERAS = `${clip},YUY2:640x480@30,MJPG:1280x720@30`;
});

test.after(async () => {
  if (nginx) await nginx.stop();
  if (pulse) await pulse.stop();
  if (display) await display.stop();
});

const waitColoured = (window) => peers.waitUntil(() => peers.colouredPixels(window) > 1000, 10000);

function throwsType(fn, pattern) {
  assert.throws(fn, (e) => e instanceof TypeError && pattern.test(e.message));
}

test('devices read back, the window list, raising a window', { timeout: 30000 }, async (t) => {
  const low = await peers.startHelperWindow(200, 150, 'low', 40, 40);
  const high = await peers.startHelperWindow(200, 150, 'high', 60, 60);
  const sc = new StreamCore();
  t.after(async () => { sc.close(); await low.stop(); await high.stop(); });

  assert.ok(sc.microphones().some((m) => m.id === 'mic'), JSON.stringify(sc.microphones()));
  assert.ok(sc.speakers().some((s) => s.id === 'card' && s.name === 'SoundCard'), JSON.stringify(sc.speakers()));
  sc.openMicrophone('mic');
  sc.openSpeaker('');
  // The sine source and a sine file played to the speaker show a level above silence.
  sc.startMicrophoneTest();
  assert.ok(await peers.waitUntil(() => sc.microphoneLevel() > 0, 5000), 'no microphone level');
  sc.stopMicrophoneTest();
  sc.microphoneVolume = 40;
  sc.speakerVolume = 55;
  sc.microphoneMuted = true;
  sc.autoGain = true;
  assert.deepStrictEqual([sc.microphoneVolume, sc.speakerVolume, sc.microphoneMuted], [40, 55, true]);
  sc.microphoneMuted = false;
  assert.strictEqual(sc.microphoneMuted, false);
  assert.throws(() => sc.openMicrophone('no-such-mic'), /openMicrophone: no microphone "no-such-mic"/);
  assert.throws(() => sc.openSpeaker('no-such-speaker'), /openSpeaker: no speaker/);

  const tone = path.join(dir, 'tone.wav');
  assert.strictEqual(peers.run(['ffmpeg', '-v', 'error', '-y', '-f', 'lavfi', '-i', 'sine=frequency=440:duration=3',
    tone]).status, 0);
  sc.startSpeakerTest(tone);
  assert.ok(await peers.waitUntil(() => sc.speakerLevel() > 0, 5000), 'no speaker level');
  sc.stopSpeakerTest();
  assert.throws(() => sc.startSpeakerTest(path.join(dir, 'missing.wav')), /startSpeakerTest: .*missing\.wav/);
  sc.closeMicrophone();

  const windows = sc.windows();
  assert.deepStrictEqual(windows[0].windowName, 'desktop');
  assert.ok(windows.some((w) => w.hWnd === low.id && w.windowName === low.title), JSON.stringify(windows));
  // Without a window manager the root's children are listed topmost first.
  const topmost = () => {
    const ids = [...peers.run(['xwininfo', '-root', '-children']).stdout.matchAll(/^\s+(0x[0-9a-f]+)/gm)]
      .map((m) => parseInt(m[1], 16)).filter((id) => id === low.id || id === high.id);
    return ids[0];
  };
  assert.strictEqual(topmost(), high.id);
  sc.bringToTop(low.id);
  assert.strictEqual(topmost(), low.id);
});

test('a pattern camera: listed with its formats, previewed, drawn as a thumbnail, published and recorded',
  { timeout: 60000 }, async (t) => {
    const preview = await peers.startHelperWindow(320, 240, 'preview', 20, 20);
    const thumb = await peers.startHelperWindow(320, 240, 'thumb', 400, 20);
    const sc = new StreamCore();
    t.after(async () => { sc.close(); await preview.stop(); await thumb.stop(); });

    const camera = sc.cameras().find((c) => c.name === 'Pattern Camera 0');
    assert.ok(camera, JSON.stringify(sc.cameras()));
    assert.deepStrictEqual(camera.formats, [
      { width: 640, height: 480, fps: 30, format: 'YUY2' }, { width: 1280, height: 720, fps: 30, format: 'MJPG' }]);
    assert.strictEqual(peers.colouredPixels(preview.canvas), 0);
    const cam = sc.openCamera(camera.id, { width: 320, height: 240, fps: 15, preview: preview.canvas });
    assert.strictEqual(cam.name, camera.id);
    assert.throws(() => sc.openCamera(camera.id), /is open already/);
    assert.ok(await waitColoured(preview.canvas), 'the preview shows no camera picture');

    const handle = sc.showThumbnail(preview.canvas, thumb.canvas);
    assert.ok(await waitColoured(thumb.canvas), 'the thumbnail was not drawn');
    sc.removeThumbnail(handle);
    assert.throws(() => sc.removeThumbnail(handle), /no thumbnail/);

    const events = [];
    sc.on('publish', (e) => events.push(e));
    const url = nginx.url('camera');
    const publication = sc.publish(url, { video: cam, audio: 'mix' });
    const file = path.join(dir, 'camera.mp4');
    const recording = sc.record(file, { video: cam, audio: 'mix' });
    await publication.connected;
    assert.deepStrictEqual(events[0], { url, stream: 'camera', result: 0 });
    // Both kinds of media have reached the server (and so the recorder, which gets the same
    // frames right after the publisher) once the server's copy shows both.
    const both = (f) => { const streams = peers.ffprobeStreams(f); return streams.includes('h264,320,240') && streams.includes('aac,16000,1'); };
    assert.ok(await peers.waitUntil(() => both(nginx.recording('camera')), 20000), 'the server got no video and sound');
    recording.stop();
    publication.stop();
    cam.stop();
    for (const f of [file, nginx.recording('camera')]) {
      assert.ok(await peers.waitUntil(() => both(f), 10000), `${f}: ${peers.ffprobeStreams(f)}`);
    }
  });

test('a window published with the mix beside the module functions: each hears only its own results',
  { timeout: 60000 }, async (t) => {
    const window = await peers.startHelperWindow(320, 240, 'shared');
    const texts = [];
    addon.setRunCallback((text) => texts.push(text));
    const sc = new StreamCore({ log: true });
    t.after(async () => { try { addon.uninitialize(); } catch (_) { /* done */ } await window.stop(); });
    // The module's functions join the endpoint the object started.
    assert.strictEqual(addon.initialize(true), 1);
    const initCount = (peers.endpointLog().match(/Initialize end!/g) || []).length;

    const pushed = [];
    sc.on('publish', (e) => pushed.push(e));
    const source = sc.captureWindow(window.id, { width: 320, height: 240, fps: 15, kbps: 500 });
    const url = nginx.url('pushed');
    const publication = sc.publish(url, { video: source, audio: 'mix' });
    await publication.connected;
    assert.deepStrictEqual(pushed, [{ url, stream: 'pushed', result: 0 }]);
    publication.forceKeyFrame();
    publication.pause();
    publication.resume();
    // The object's result never reaches the polled queue (it was handed to both in one go).
    assert.strictEqual(addon.onTimer(), 0);
    // The module's own publication works beside it; it may not take the object's url.
    assert.strictEqual(addon.publishStream(window.id, url, 160, 120, 300, 'live', 15), 5002);
    assert.strictEqual(addon.publishStream(0, nginx.url('legacy'), 160, 120, 300, 'live', 15), 0);
    assert.ok(await peers.waitUntil(() => addon.onTimer() > 0 &&
      texts.includes('{"eventid":6001,"result":0,"rtmpurl":"legacy"}\n'), 15000));
    assert.deepStrictEqual(pushed, [{ url, stream: 'pushed', result: 0 }], 'the module\'s result reached the object');
    assert.deepStrictEqual(texts, ['Initialize finish', '{"eventid":6001,"result":0,"rtmpurl":"legacy"}\n']);
    const both = (stream) => {
      const streams = peers.ffprobeStreams(nginx.recording(stream));
      return streams.some((s) => s.startsWith('h264,')) && streams.includes('aac,16000,1');
    };
    assert.ok(await peers.waitUntil(() => both('pushed') && both('legacy'), 20000), 'the server got no video and sound');

    // uninitialize leaves the endpoint to the object; closing the object ends it.
    addon.uninitialize();
    assert.throws(() => addon.getMicphoneCount(), /live media is null/);
    assert.ok(sc.microphones().length > 0);
    assert.doesNotMatch(peers.endpointLog(), /UnInitialize! end/);
    sc.close();
    assert.match(peers.endpointLog(), /UnInitialize! end/);
    assert.strictEqual((peers.endpointLog().match(/Initialize end!/g) || []).length, initCount);
    assert.deepStrictEqual(peers.engineCaptures().running, []);
    for (const stream of ['pushed', 'legacy']) {
      assert.ok(await peers.waitUntil(() => both(stream), 10000), `${stream}: ${peers.ffprobeStreams(nginx.recording(stream))}`);
    }
  });

test('a stream ffmpeg publishes, played into a window and moved to a second one', { timeout: 60000 }, async (t) => {
  const first = await peers.startHelperWindow(320, 240, 'first', 20, 20);
  const second = await peers.startHelperWindow(320, 240, 'second', 400, 20);
  const url = nginx.url('remote');
  const ffmpeg = peers.start(['ffmpeg', '-v', 'error', '-re', '-f', 'lavfi', '-i', 'testsrc=size=320x240:rate=15',
    '-f', 'lavfi', '-i', 'sine=frequency=440', '-c:v', 'libx264', '-g', '15', '-pix_fmt', 'yuv420p', '-c:a', 'aac',
    '-f', 'flv', url], path.join(dir, 'ffmpeg.log'));
  const sc = new StreamCore();
  t.after(async () => { sc.close(); await ffmpeg.stop(); await first.stop(); await second.stop(); });
  assert.ok(await peers.waitUntil(() => /publish: name='remote'/.test(nginx.errorLog()), 10000));

  const results = [];
  sc.on('play', (e) => results.push(e));
  const playback = sc.play(url, { window: first.canvas });
  assert.throws(() => sc.play(url), /is being played already/);
  assert.ok(await peers.waitUntil(() => results.length > 0, 10000), 'no play result');
  assert.deepStrictEqual(results[0], { url, stream: 'remote', result: 0 });
  assert.ok(await waitColoured(first.canvas), 'nothing drawn in the first window');
  assert.strictEqual(peers.colouredPixels(second.canvas), 0);
  playback.moveTo(second.canvas);
  assert.ok(await waitColoured(second.canvas), 'nothing drawn in the second window');
  playback.stop();
});

test('wrong arguments, failures with their reason, and every call after close', { timeout: 30000 }, () => {
  throwsType(() => new StreamCore({ log: 'yes' }), /^new StreamCore: options\.log must be a boolean$/);
  const sc = new StreamCore();
  throwsType(() => sc.captureWindow('root'), /^captureWindow: window must be an integer/);
  throwsType(() => sc.captureWindow(0, { fps: 0 }), /^captureWindow: options\.fps must be an integer from 1 to 60$/);
  throwsType(() => sc.openCamera(7), /^openCamera: id must be a string$/);
  throwsType(() => sc.publish('rtmp://h/live/x', {}), /^publish: options\.video or options\.audio must be/);
  throwsType(() => sc.publish('rtmp://h/live/x', { audio: 'both' }), /^publish: options\.audio must be "mix" or null$/);
  throwsType(() => sc.publish('rtmp://h/live/x', { audio: 'mix', mode: 'loud' }), /^publish: options\.mode must be/);
  throwsType(() => sc.record('a.flv', { video: {} }), /^record: options\.video must be a Source/);
  throwsType(() => sc.play(''), /^play: url must be a non-empty string$/);
  throwsType(() => { sc.speakerVolume = 101; }, /^speakerVolume: the volume must be an integer from 0 to 100$/);
  assert.throws(() => sc.openCamera('pattern:9:none'), (e) => !(e instanceof TypeError) && /cannot be opened/.test(e.message));

  const source = sc.captureWindow(0, { width: 160, height: 120 });
  assert.throws(() => sc.record('/no/such/folder/x.flv', { video: source }),
    (e) => !(e instanceof TypeError) && /"\/no\/such\/folder\/x\.flv" cannot be opened for writing/.test(e.message));
  const publication = sc.publish(`rtmp://127.0.0.1:1/live/closed`, { video: source });
  sc.close();
  for (const call of [() => sc.microphones(), () => sc.windows(), () => { sc.microphoneMuted = true; },
    () => sc.captureWindow(0), () => source.stop(), () => publication.stop(), () => sc.close()]) {
    assert.throws(call, (e) => e.message === 'StreamCore is closed');
  }
});

// The first object, which runs nothing any more, is collected and leaves the endpoint; the
// second ends with process.exit while publishing, or by running out with a capture only (an
// open publication or playback keeps the process alive).
for (const exit of [true, false]) {
  test(`collection of an idle object leaves the endpoint; ${exit ? 'process.exit' : 'running out'} stops what runs`,
    { timeout: 30000 }, () => {
      const script = `
const { StreamCore } = require(${JSON.stringify(path.join(__dirname, '..'))});
console.log(process.pid);
let dropped = new StreamCore({ log: true });
console.log((() => {
  const source = dropped.captureWindow(0, { width: 160, height: 120 });
  source.stop();
  return source.name;
})());
dropped = null;
// Collects until the dropped object's endpoint has ended (its log says so), for at most 10 s.
const fs = require('fs');
const logDir = require('path').join(require('path').dirname(process.execPath), 'log');
const mine = (n) => n.endsWith('_' + process.pid + '.log') || n.includes('_' + process.pid + '.log.');
const ended = () => {
  try {
    return fs.readdirSync(logDir).filter(mine)
      .some((n) => fs.readFileSync(require('path').join(logDir, n), 'utf8').includes('UnInitialize! end'));
  } catch (_) {
    return false;  // no log (yet)
  }
};
const end = Date.now() + 10000;
const poll = setInterval(() => {
  global.gc();
  if (!ended() && Date.now() < end) return;
  clearInterval(poll);
  const kept = new StreamCore({ log: true });
  kept.captureWindow(0, { width: 160, height: 120 });
  ${exit ? `kept.publish(${JSON.stringify(nginx.url('exiting'))}, { audio: 'mix' }).connected.then(() => process.exit(0));` : ''}
}, 50);`;
      const r = peers.run([process.execPath, '--expose-gc', '-e', script], { STREAMCORE_BUILD: peers.buildDir });
      assert.strictEqual(r.status, 0, r.stderr);
      const [pid, collected] = r.stdout.trim().split('\n');
      const log = peers.endpointLog(+pid);
      const captures = peers.engineCaptures(+pid);
      assert.strictEqual(captures.started.length, 2);
      assert.deepStrictEqual(captures.running, []);
      // The collected object's endpoint ended before the second began.
      assert.ok(log.indexOf(`StopCaptureApplication ${collected} after`) < log.lastIndexOf('Initialize!'), log);
      assert.strictEqual((log.match(/UnInitialize! end/g) || []).length, 2);
    });
}
