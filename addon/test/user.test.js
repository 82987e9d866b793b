'use strict';
// The addon in a process that is not root: node's own folder (where the endpoint moves the
// process) cannot take a log folder, and a relative recording name must still land where the
// script was started.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const peers = require('./peers.helper');

const build = peers.buildDir;

test('as nobody: initialize(true) answers 1 with logging off, and a relative recording lands in the script folder',
  { timeout: 60000, skip: process.getuid() !== 0 && 'needs root to switch to nobody' }, async (t) => {
    const display = await peers.startXvfb();
    t.after(() => display.stop());
    // A copy of the built libraries that nobody may read, wherever the checkout lives.
    const libs = peers.tempDir('libs');
    for (const name of fs.readdirSync(path.join(build, 'lib'))) {
      if (/\.so(\.|$)|\.node$/.test(name)) fs.copyFileSync(path.join(build, 'lib', name), path.join(libs, name));
    }
    // And a node of its own in a folder of root's: other test files, running as root beside this
    // one, make the log folder next to the system's node, which would then already exist.
    const bin = peers.tempDir('bin');
    const node = path.join(bin, 'node');
    fs.copyFileSync(process.execPath, node);
    fs.chmodSync(node, 0o755);
    const work = peers.tempDir('work');
    for (const dir of [libs, bin, work]) fs.chmodSync(dir, 0o755);
    fs.chownSync(work, 65534, 65534);
    // The recording is stopped once it holds the video track (or after 20 s).
    const script = `
      const { spawnSync } = require('child_process');
      const file = require('path').resolve('lesson.flv');  // before the endpoint moves the process
      const a = require(${JSON.stringify(path.join(libs, 'streamAddon.node'))});
      const out = { init: a.initialize(true), mics: a.getMicphoneCount() };
      out.record = a.startRecordApp('lesson.flv', 0, 320, 240, 500, false, 15);
      const recorded = () => (spawnSync('ffprobe', ['-v', 'error', '-show_entries', 'stream=codec_name,width,height',
        '-of', 'csv=p=0', file], { encoding: 'utf8' }).stdout || '').split('\\n').includes('h264,320,240');
      const end = Date.now() + 20000;
      const poll = setInterval(() => {
        if (!recorded() && Date.now() < end) return;
        clearInterval(poll);
        out.stop = a.stopRecordApp(); a.uninitialize(); console.log(JSON.stringify(out));
      }, 100);`;
    const r = peers.run(['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups', node, '-e', script],
      { LD_LIBRARY_PATH: libs, HOME: work }, { cwd: work });
    assert.strictEqual(r.status, 0, r.stderr);
    const out = JSON.parse(r.stdout.trim().split('\n').pop());
    assert.strictEqual(typeof out.mics, 'number');
    assert.deepStrictEqual({ ...out, mics: 0 }, { init: 1, mics: 0, record: 0, stop: true });
    assert.match(r.stderr, /logging stays off: the log folder .*log\/ could not be made/);
    const file = path.join(work, 'lesson.flv');
    assert.ok(fs.existsSync(file), `no ${file}: ${fs.readdirSync(work)}`);
    assert.ok(peers.ffprobeStreams(file).includes('h264,320,240'));
  });
