'use strict';
// The whole road from the script: a helper window published to nginx and recorded to a file at
// the same time, the connected result back through onTimer, and ffprobe on the server's copy
// and on the recording.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const peers = require('./peers.helper');

const addon = peers.loadAddon();

test('a helper window published and recorded (flag false, then true): 6001 with result 0, H.264 at the asked size and AAC 16 kHz mono in each',
  { timeout: 90000 }, async (t) => {
    const display = await peers.startXvfb();
    const pulse = await peers.startPulse();
    const nginx = await peers.startNginx();
    const window = await peers.startHelperWindow(400, 300);
    t.after(async () => {
      try { addon.uninitialize(); } catch (_) { /* already */ }
      await window.stop();
      await nginx.stop();
      await pulse.stop();
      await display.stop();
    });
    const received = [];
    addon.setRunCallback((text) => received.push(text));
    assert.strictEqual(addon.initialize(false), 1);
    assert.deepStrictEqual(received.splice(0), ['Initialize finish']);

    const recording = path.join(peers.tempDir('e2e'), 'window.flv');
    const flagged = path.join(path.dirname(recording), 'flagged.flv');
    assert.strictEqual(addon.publishStream(window.id, nginx.url('window'), 320, 240, 600, 'live', 15), 0);
    // The flag chooses no track: the sound mix is recorded either way.
    assert.strictEqual(addon.startRecordApp(recording, window.id, 320, 240, 600, false, 15), 0);
    const connected = await peers.waitUntil(() => { addon.onTimer(); return received.length > 0; }, 20000);
    assert.ok(connected, 'no result arrived');
    assert.strictEqual(received[0], '{"eventid":6001,"result":0,"rtmpurl":"window"}\n');

    // Each recording runs until it holds the picture and the sound (FLV is readable while it is
    // written).
    const both = (file) => {
      const streams = peers.ffprobeStreams(file);
      return streams.includes('h264,320,240') && streams.includes('aac,16000,1');
    };
    assert.ok(await peers.waitUntil(() => both(recording), 20000), `${recording}: ${peers.ffprobeStreams(recording)}`);
    assert.strictEqual(addon.stopRecordApp(), true);
    assert.strictEqual(addon.startRecordApp(flagged, window.id, 320, 240, 600, true, 15), 0);
    assert.ok(await peers.waitUntil(() => both(flagged), 20000), `${flagged}: ${peers.ffprobeStreams(flagged)}`);
    assert.strictEqual(addon.stopRecordApp(), true);
    assert.strictEqual(addon.stopPublishStream(), true);
    addon.uninitialize();
    await nginx.stop();

    for (const file of [nginx.recording('window'), recording, flagged]) {
      assert.ok(fs.existsSync(file), `${file} was not written`);
      const streams = peers.ffprobeStreams(file);
      assert.ok(streams.includes('h264,320,240'), `${file}: ${streams}`);
      assert.ok(streams.includes('aac,16000,1'), `${file}: ${streams}`);
      // In the file's millisecond time base: see DecodeErrors in tests/support/ffprobe.h.
      const decode = peers.run(['ffmpeg', '-v', 'error', '-i', file, '-enc_time_base', '-1', '-f', 'null', '-']);
      assert.strictEqual(decode.status, 0);
      assert.strictEqual(decode.stderr, '', `${file} does not decode cleanly`);
    }
  });
