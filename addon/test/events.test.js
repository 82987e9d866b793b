'use strict';
// Event texts through the queue and onTimer: publish results of the real endpoint against an
// nginx server and against a closed port.
const test = require('node:test');
const assert = require('node:assert');
const peers = require('./peers.helper');
const { within } = require('../../tools/run/peers');

const addon = peers.loadAddon();
let display;
let pulse;
let nginx;
let received = [];

test.before(async () => {
  display = await peers.startXvfb();
  pulse = await peers.startPulse();
  nginx = await peers.startNginx();
  addon.setRunCallback((t) => received.push(t));
  assert.strictEqual(addon.initialize(true), 1);
  received = [];
});

test.after(async () => {
  try { addon.uninitialize(); } catch (_) { /* already */ }
  if (nginx) await nginx.stop();
  if (pulse) await pulse.stop();
  if (display) await display.stop();
});

const count = (re) => (peers.endpointLog().match(re) || []).length;

// The endpoint delivers its events in the order it reported them. A StreamCore object's
// publication to a closed port, started now, reports its first failure after every result
// reported so far: once the object hears it, those results are queued for onTimer. (The
// object keeps the endpoint alive: it is closed again before this returns.)
async function flushResults() {
  const core = new addon.StreamCore();
  try {
    const heard = new Promise((resolve) => core.once('publish', resolve));
    core.publish(`rtmp://127.0.0.1:${await peers.closedPort()}/live/flush`, { audio: 'mix' });
    assert.ok(await within(heard, 20000), 'the endpoint reported nothing');
  } finally {
    core.close();
  }
}

// Publishes the desktop to url and stops once the result (connected) for it is queued, so
// that exactly one result is reported for it. Media reaches the server only after the
// publisher reported the connection.
async function publishConnected(url, name) {
  assert.strictEqual(addon.publishStream(0, url, 160, 120, 300, 'live', 15), 0);
  try {
    // The server escapes the stream name in its file name.
    const copy = nginx.recording(encodeURIComponent(name));
    assert.ok(await peers.waitUntil(() => peers.ffprobeStreams(copy).some((v) => v.startsWith('h264')), 20000),
      `the endpoint did not connect ${url}`);
  } finally {
    assert.strictEqual(addon.stopPublishStream(), true);
  }
  await flushResults();
}

test('onTimer with nothing queued returns 0 and calls nothing', () => {
  assert.strictEqual(addon.onTimer(), 0);
  assert.deepStrictEqual(received, []);
});

test('three queued results come out one per onTimer, oldest first, the count seen before each', async () => {
  const names = ['first', 'second', 'with"quote'];
  for (const name of names) await publishConnected(nginx.url(name), name);
  assert.deepStrictEqual(received, [], 'nothing is delivered without onTimer');
  const counts = [];
  for (let i = 0; i < 4; ++i) counts.push(addon.onTimer());
  assert.deepStrictEqual(counts, [3, 2, 1, 0]);
  assert.deepStrictEqual(received, [
    '{"eventid":6001,"result":0,"rtmpurl":"first"}\n',
    '{"eventid":6001,"result":0,"rtmpurl":"second"}\n',
    '{"eventid":6001,"result":0,"rtmpurl":"with\\"quote"}\n',
  ]);
  assert.deepStrictEqual(JSON.parse(received[2]), { eventid: 6001, result: 0, rtmpurl: 'with"quote' });
  assert.match(nginx.errorLog(), /publish: name='with"quote'/);
  received = [];
});

test('a publication to a closed port yields 6001 with result -1', async () => {
  const port = await peers.closedPort();
  assert.strictEqual(addon.publishStream(0, `rtmp://127.0.0.1:${port}/live/nobody`, 160, 120, 300, 'live', 15), 0);
  const got = await peers.waitUntil(() => addon.onTimer() > 0 && received.length > 0, 20000);
  assert.ok(got, 'no result arrived');
  assert.strictEqual(received[0], '{"eventid":6001,"result":-1,"rtmpurl":"nobody"}\n');
  assert.strictEqual(addon.stopPublishStream(), true);
  // The failed connection was retried until stopped: every further text is the same failure.
  await peers.sleep(500);
  while (addon.onTimer() > 0);
  assert.ok(received.every((t) => t === received[0]));
  received = [];
});

test('a second callback replaces the first', async () => {
  const first = [];
  addon.setRunCallback((t) => first.push(t));
  addon.setRunCallback((t) => received.push(t));
  await publishConnected(nginx.url('replaced'), 'replaced');
  assert.ok(await peers.waitUntil(() => addon.onTimer() > 0, 10000));
  assert.deepStrictEqual(first, []);
  assert.deepStrictEqual(received, ['{"eventid":6001,"result":0,"rtmpurl":"replaced"}\n']);
  received = [];
});

test('texts queued before uninitialize are still delivered; none are queued after it', async () => {
  const port = await peers.closedPort();
  const failuresBefore = count(/RtmpPublish rtmpConnectFail/g);
  assert.strictEqual(addon.publishStream(0, `rtmp://127.0.0.1:${port}/live/gone`, 160, 120, 300, 'live', 15), 0);
  // The failing connection is retried and reported again and again until it is stopped (each
  // log line follows its report).
  assert.ok(await peers.waitUntil(() => count(/RtmpPublish rtmpConnectFail/g) >= failuresBefore + 3, 20000));
  await flushResults();
  const exitsBefore = count(/LiveEndpoint::run exit/g);
  addon.uninitialize();
  assert.deepStrictEqual(received, ['Uninitialize finish']);
  received = [];
  let delivered = 0;
  while (addon.onTimer() > 0) ++delivered;
  assert.ok(delivered >= 1, 'the failures queued before uninitialize are delivered');
  assert.strictEqual(received.length, delivered);
  assert.ok(received.every((t) => t === '{"eventid":6001,"result":-1,"rtmpurl":"gone"}\n'), received.join(''));
  // Results reach the queue on the endpoint's event thread; once it has ended nothing more can.
  await peers.waitUntil(() => count(/LiveEndpoint::run exit/g) > exitsBefore, 5000);
  assert.strictEqual(addon.onTimer(), 0, 'nothing was queued after uninitialize');
});
