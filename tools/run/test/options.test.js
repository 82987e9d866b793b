'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { parseArgs, pickWindow, streamName, UsageError } = require('../options');

test('defaults and every option', () => {
  const d = parseArgs([]);
  assert.deepStrictEqual([d.seconds, d.width, d.height, d.fps, d.kbps, d.mode, d.url, d.window, d.giveUp],
    [10, 1280, 720, 15, 1500, 'live', null, null, 30]);
  assert.strictEqual(parseArgs(['--give-up', '5']).giveUp, 5);
  const o = parseArgs(['--seconds', '3', '--window', 'xclock', '--url', 'rtmp://10.0.0.1:1936/live/a',
    '--output', 'x/rec.FLV', '--size', '640x360', '--fps', '25', '--kbps', '800', '--mode', 'record']);
  assert.strictEqual(o.seconds, 3);
  assert.strictEqual(o.window, 'xclock');
  assert.strictEqual(o.url, 'rtmp://10.0.0.1:1936/live/a');
  assert.ok(o.output.endsWith('/x/rec.FLV') && o.output.startsWith('/'));
  assert.deepStrictEqual([o.width, o.height, o.fps, o.kbps, o.mode], [640, 360, 25, 800, 'record']);
  assert.strictEqual(parseArgs(['-h']).help, true);
});

test('bad input is one clear line', () => {
  const bad = [
    [['--seconds'], /needs a value/],
    [['--seconds', '0'], /between 1/],
    [['--seconds', '2.5'], /whole number/],
    [['--size', '640'], /WIDTHxHEIGHT/],
    [['--size', '641x360'], /even/],
    [['--fps', '60'], /between 10 and 50/],
    [['--mode', 'vod'], /live, record or append/],
    [['--output', 'rec.avi'], /\.mp4, \.flv or \.mkv/],
    [['--output', `/tmp/${'a'.repeat(260)}.mp4`], /longer than 255/],
    [['--bogus'], /unknown argument/],
    [['--window', ''], /needs a title/],
    [['--give-up', '0'], /between 1/],
  ];
  for (const [argv, text] of bad) {
    assert.throws(() => parseArgs(argv), (e) => e instanceof UsageError && text.test(e.message) && !e.message.includes('\n'),
      argv.join(' '));
  }
});

test('RTMP URLs need a host, an application and a stream', () => {
  for (const good of ['rtmp://h/app/s', 'rtmp://127.0.0.1:1935/live/s', 'rtmp://h.example/app/inst/s', 'rtmp://[::1]:19/a/b',
    'rtmps://h.example/app/s']) {
    assert.strictEqual(parseArgs(['--url', good]).url, good);
  }
  for (const bad of ['http://h/app/s', 'rtmp://h/app', 'rtmp://h/app/', 'rtmp:///app/s', 'rtmp://h:0/a/s',
    'rtmp://h:99999/a/s', 'rtmp://h/a/s s', 'rtmp://h/a/' + 'x'.repeat(260), 'rtmp://h/a/s\u00e9']) {
    assert.throws(() => parseArgs(['--url', bad]), UsageError, bad);
  }
  assert.strictEqual(streamName('rtmp://h/app/lesson-1'), 'lesson-1');
});

test('windows are picked by exact title, else by a unique part of it', () => {
  const list = JSON.stringify({ count: 3, windowList: [
    { hWnd: 10, windowName: 'xclock', filePath: '/usr/bin/xclock' },
    { hWnd: 11, windowName: 'xlogo', filePath: '/usr/bin/xlogo' },
    { hWnd: 12, windowName: 'xlogo 2', filePath: '/usr/bin/xlogo' },
  ] });
  assert.strictEqual(pickWindow(list, 'xlogo').hWnd, 11);
  assert.strictEqual(pickWindow(list, 'clo').hWnd, 10);
  assert.throws(() => pickWindow(list, 'logo'), /2 windows match 'logo'/);
  assert.throws(() => pickWindow(list, 'editor'), /no window titled 'editor' \(windows: 'xclock', 'xlogo', 'xlogo 2'\)/);
  assert.throws(() => pickWindow('{', 'x'), /not JSON/);
});
