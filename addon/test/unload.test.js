'use strict';
// A script that ends without uninitialize: the module's clean-up at unload stops the captures
// it started, ends the endpoint and leaves a complete recording, whether the script runs out
// or calls process.exit.
const test = require('node:test');
const assert = require('node:assert');
const path = require('path');
const peers = require('./peers.helper');

let display;
let pulse;
let nginx;

test.before(async () => {
  display = await peers.startXvfb();
  pulse = await peers.startPulse();
  nginx = await peers.startNginx();
});

test.after(async () => {
  if (nginx) await nginx.stop();
  if (pulse) await pulse.stop();
  if (display) await display.stop();
});

const script = (url, file, exit) => `
const addon = require(${JSON.stringify(path.join(__dirname, '..'))});
console.log(process.pid);
if (addon.initialize(true) !== 1) process.exit(3);
if (addon.publishStream(0, ${JSON.stringify(url)}, 320, 240, 500, 'live', 20) !== 0) process.exit(4);
if (addon.startRecordApp(${JSON.stringify(file)}, 0, 160, 120, 300, true, 20) !== 0) process.exit(5);
// Ends once the recording holds both tracks (or after 20 s): the captures run while it ends.
const { spawnSync } = require('child_process');
const recorded = () => {
  const r = spawnSync('ffprobe', ['-v', 'error', '-show_entries', 'stream=codec_name,width,height,sample_rate,channels',
    '-of', 'csv=p=0', ${JSON.stringify(file)}], { encoding: 'utf8' });
  const streams = (r.stdout || '').split('\\n');
  return streams.includes('h264,160,120') && streams.includes('aac,16000,1');
};
const end = Date.now() + 20000;
const poll = setInterval(() => {
  if (!recorded() && Date.now() < end) return;
  clearInterval(poll);
  ${exit ? 'process.exit(0);' : ''}
}, 100);
`;

for (const exit of [false, true]) {
  test(`ending ${exit ? 'with process.exit' : 'by running out'} stops every capture and ends the endpoint`, () => {
    const file = path.join(peers.tempDir('unload'), 'left.flv');
    const r = peers.run([process.execPath, '-e', script(nginx.url(`left${exit}`), file, exit)]);
    const pid = parseInt(r.stdout, 10);
    assert.strictEqual(r.status, 0, r.stderr);
    const captures = peers.engineCaptures(pid);
    assert.strictEqual(captures.started.length, 2);
    assert.deepStrictEqual(captures.running, []);
    assert.match(peers.endpointLog(pid), /UnInitialize! end/);
    const streams = peers.ffprobeStreams(file);
    assert.ok(streams.includes('h264,160,120') && streams.includes('aac,16000,1'), streams.join(' '));
  });
}
