'use strict';
// The embedded defaults of the main job: a display, a sound server and an RTMP server started
// on this machine when none is given, each stopped again when the job ends (also on failure).

const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');

const RTMP_MODULE = '/usr/lib/nginx/modules/ngx_rtmp_module.so';
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// True when promise settles within ms, else false. The timer is cleared either way: a pending
// one would hold the process open for the rest of its time after everything else has ended.
function within(promise, ms) {
  let timer;
  const timeout = new Promise((r) => { timer = setTimeout(r, ms, false); });
  return Promise.race([promise.then(() => true), timeout]).finally(() => clearTimeout(timer));
}

async function waitFor(what, check, ms) {
  const end = Date.now() + ms;
  for (;;) {
    if (await check()) return;
    if (Date.now() > end) throw new Error(`${what} did not come up within ${ms / 1000} s`);
    await sleep(100);
  }
}

function freeTcpPort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

function accepts(port) {
  return new Promise((resolve) => {
    const c = net.connect(port, '127.0.0.1');
    c.once('connect', () => { c.destroy(); resolve(true); });
    c.once('error', () => resolve(false));
  });
}

// Children started here, stopped in reverse order by stopAll (and killed at process exit).
class Peers {
  constructor(dir) {
    this.dir = dir;
    this.children = [];
    process.on('exit', () => {
      for (const c of this.children) if (c.exitCode === null && c.signalCode === null) c.kill('SIGKILL');
    });
  }

  start(name, argv, env) {
    const log = fs.openSync(path.join(this.dir, `${name}.log`), 'a');
    // Each peer gets a process group of its own, so that a Ctrl-C meant for the job does not
    // take the display or the servers away while the job is still stopping cleanly.
    const child = spawn(argv[0], argv.slice(1), { env: env || process.env, stdio: ['ignore', log, log], detached: true });
    fs.closeSync(log);
    child.peerName = name;
    child.on('error', () => {});
    this.children.push(child);
    return child;
  }

  logOf(name) {
    return path.join(this.dir, `${name}.log`);
  }

  static running(child) {
    return child.exitCode === null && child.signalCode === null;
  }

  // An Xvfb display (1280x720) with openbox and two helper windows, so the desktop has
  // something to show and --window has titles to pick. Sets DISPLAY for this process.
  async startDisplay() {
    const log = fs.openSync(this.logOf('xvfb'), 'a');
    const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1280x720x24', '-nolisten', 'tcp', '-noreset'],
      { stdio: ['ignore', 'ignore', log, 'pipe'], detached: true });
    fs.closeSync(log);
    xvfb.peerName = 'xvfb';
    xvfb.on('error', () => {});
    this.children.push(xvfb);
    const display = await new Promise((resolve, reject) => {
      let text = '';
      const timer = setTimeout(() => reject(new Error('Xvfb did not report a display within 15 s')), 15000);
      xvfb.stdio[3].on('data', (d) => {
        text += d;
        if (text.includes('\n')) { clearTimeout(timer); resolve(`:${text.trim()}`); }
      });
      xvfb.once('exit', () => { clearTimeout(timer); reject(new Error(`Xvfb ended; see ${this.logOf('xvfb')}`)); });
    });
    process.env.DISPLAY = display;
    this.start('openbox', ['openbox', '--sm-disable']);
    await sleep(300);
    this.start('xclock', ['xclock', '-update', '1', '-geometry', '360x360+80+120']);
    this.start('xlogo', ['xlogo', '-geometry', '360x300+700+180']);
    await waitFor('the helper windows', () =>
      ['xclock', 'xlogo'].every((n) => spawnSync('xwininfo', ['-name', n], { stdio: 'ignore' }).status === 0), 15000);
    await sleep(500); // let the window manager place and paint them
    return display;
  }

  static soundServerAnswers() {
    return spawnSync('pactl', ['info'], { stdio: 'ignore', timeout: 5000 }).status === 0;
  }

  // A pulseaudio server of our own: a null sink as the sound card, playing 440 Hz, and a
  // microphone hearing 880 Hz. Points this process at it (PULSE_SERVER).
  async startSound() {
    const runtime = fs.mkdtempSync(path.join(this.dir, 'pulse-'));
    const home = path.join(runtime, 'home');
    fs.mkdirSync(home);
    const script = path.join(runtime, 'server.pa');
    fs.writeFileSync(script, [
      'load-module module-native-protocol-unix auth-anonymous=1',
      // Both tones are sink inputs, paced by their sinks, so they arrive in short steady
      // pieces as from a real device (a sine source hands over two seconds at a time).
      'load-module module-null-sink sink_name=card rate=48000 sink_properties=device.description=SoundCard',
      'load-module module-sine sink=card frequency=440',
      'load-module module-null-sink sink_name=room rate=48000 sink_properties=device.description=Room',
      'load-module module-sine sink=room frequency=880',
      'load-module module-remap-source source_name=mic master=room.monitor source_properties=device.description=TestMicrophone',
      'set-default-sink card',
      'set-default-source mic',
      '',
    ].join('\n'));
    const env = { ...process.env, XDG_RUNTIME_DIR: runtime, HOME: home, PULSE_SERVER: `unix:${runtime}/pulse/native` };
    const child = this.start('pulseaudio', ['pulseaudio', '-n', '-F', script, '--exit-idle-time=-1',
      '--daemonize=no', '--log-target=stderr'], env);
    await waitFor('pulseaudio', () => {
      if (!Peers.running(child)) throw new Error(`pulseaudio ended; see ${this.logOf('pulseaudio')}`);
      return spawnSync('pactl', ['info'], { env, stdio: 'ignore', timeout: 5000 }).status === 0;
    }, 15000);
    process.env.PULSE_SERVER = env.PULSE_SERVER;
    return env.PULSE_SERVER;
  }

  // nginx with its RTMP module on a loopback port (a free one unless given); application
  // "live" keeps every stream as NAME.flv in recordDir. Returns the server's base URL.
  async startRtmpServer(recordDir, port) {
    if (!fs.existsSync(RTMP_MODULE)) throw new Error(`the nginx RTMP module is missing (${RTMP_MODULE}); run scripts/setup`);
    port = port || await freeTcpPort();
    const conf = path.join(this.dir, 'nginx.conf');
    fs.writeFileSync(conf, [
      `load_module ${RTMP_MODULE};`,
      'daemon off;', 'master_process off;', 'worker_processes 1;',
      `pid ${path.join(this.dir, 'nginx.pid')};`,
      `error_log ${this.logOf('nginx')} info;`,
      'events { worker_connections 256; }',
      'rtmp { server {',
      `  listen 127.0.0.1:${port}; chunk_size 4096;`,
      `  application live { live on; record all; record_path ${recordDir}; record_unique off; record_append off; }`,
      '} }', '',
    ].join('\n'));
    const child = this.start('nginx', ['nginx', '-p', this.dir, '-e', this.logOf('nginx'), '-c', conf]);
    await waitFor('nginx', async () => {
      if (!Peers.running(child)) throw new Error(`nginx ended; see ${this.logOf('nginx')}`);
      return accepts(port);
    }, 15000);
    this.nginx = child;
    return `rtmp://127.0.0.1:${port}/live`;
  }

  // Stops the RTMP server alone (SIGQUIT: it closes its recordings and its connections).
  async stopRtmpServer() {
    const c = this.nginx;
    if (!c || !Peers.running(c)) return;
    const done = new Promise((r) => c.once('exit', r));
    c.kill('SIGQUIT');
    if (!await within(done, 5000)) c.kill('SIGKILL');
    this.children = this.children.filter((x) => x !== c);
  }

  // Stops the children, newest first. nginx gets SIGQUIT so that it closes its recordings.
  async stopAll() {
    for (const c of [...this.children].reverse()) {
      if (!Peers.running(c)) continue;
      const done = new Promise((r) => c.once('exit', r));
      c.kill(c === this.nginx ? 'SIGQUIT' : 'SIGTERM');
      if (!await within(done, 5000)) c.kill('SIGKILL');
    }
    this.children = [];
  }
}

module.exports = { Peers, freeTcpPort, waitFor, sleep, within };
