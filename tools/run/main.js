'use strict';
// The main job: shares the desktop or a window, mixed with the sound card and the microphone,
// live to an RTMP server and into a recording at the same time, through the script addon.
// Run through scripts/run, which sets up and builds first; `scripts/run --help` says it all.

const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { USAGE, UsageError, parseArgs, streamName, pickWindow } = require('./options');
const { Peers, sleep } = require('./peers');
const { FlvCounter } = require('./flv');

const ROOT = path.resolve(__dirname, '..', '..');
const RESULT_TEXT = {
  6001: 'the window capture could not start',
  6002: 'the recording could not start',
  5002: 'the publication could not start',
};

const say = (line) => process.stdout.write(`${line}\n`);
const fail = (line) => process.stderr.write(`run: ${line}\n`);

function timestamp() {
  const d = new Date();
  const p = (n) => String(n).padStart(2, '0');
  return `${d.getFullYear()}${p(d.getMonth() + 1)}${p(d.getDate())}-${p(d.getHours())}${p(d.getMinutes())}${p(d.getSeconds())}`;
}

// Refuses a recording path we cannot write, before anything is started.
function checkWritable(file) {
  const dir = path.dirname(file);
  if (!fs.existsSync(dir)) throw new UsageError(`cannot write the recording to ${file}: folder ${dir} does not exist`);
  const existed = fs.existsSync(file);
  try {
    fs.closeSync(fs.openSync(file, 'a'));
  } catch (e) {
    throw new UsageError(`cannot write the recording to ${file}: ${e.code || e.message}`);
  }
  if (!existed) fs.unlinkSync(file);
}

// True when the disk that holds file has (almost) no room left.
function diskFull(file) {
  try {
    const s = fs.statfsSync(path.dirname(file));
    return s.bavail * s.bsize < 64 * 1024;
  } catch {
    return false;
  }
}

// What a media file holds, in one line, from ffprobe.
function probeSummary(file) {
  const r = spawnSync('ffprobe', ['-v', 'error', '-count_frames', '-show_entries',
    'stream=codec_type,codec_name,width,height,avg_frame_rate,sample_rate,channels,nb_read_frames:format=duration,size',
    '-of', 'json', file], { encoding: 'utf8', timeout: 60000 });
  if (r.status !== 0) return { ok: false, text: `ffprobe cannot read it: ${(r.stderr || '').trim().split('\n')[0]}` };
  const info = JSON.parse(r.stdout);
  const parts = [];
  let video = false;
  for (const s of info.streams || []) {
    if (s.codec_type === 'video') {
      video = true;
      const [n, d] = String(s.avg_frame_rate || '0/1').split('/').map(Number);
      const fps = d ? (n / d).toFixed(1) : '?';
      parts.push(`video ${s.codec_name} ${s.width}x${s.height} ${fps} fps, ${s.nb_read_frames} frames`);
    } else if (s.codec_type === 'audio') {
      parts.push(`audio ${s.codec_name} ${s.sample_rate} Hz ${s.channels === 1 ? 'mono' : `${s.channels} channels`}, ${s.nb_read_frames} frames`);
    }
  }
  const f = info.format || {};
  parts.push(`${Number(f.duration || 0).toFixed(1)} s, ${(Number(f.size || 0) / 1e6).toFixed(2)} MB`);
  return { ok: video, text: parts.join('; ') };
}

// Counts what reaches the server: the local server's own copy as it grows, or, for a server
// elsewhere, the stream as that server relays it back to a reader.
class SentCounter {
  constructor(counter) {
    this.flv = counter;
    this.lastBytes = 0;
  }

  static fromFile(file) {
    const c = new SentCounter(new FlvCounter());
    c.file = file;
    c.offset = 0;
    return c;
  }

  static fromUrl(url, logFile) {
    const c = new SentCounter(new FlvCounter());
    c.url = url;
    c.logFile = logFile;
    c.startReader();
    return c;
  }

  startReader() {
    if (this.stopped) return;
    // A new reader reads a new FLV stream; the counts go on from where the last one ended.
    const fresh = new FlvCounter();
    for (const k of ['videoFrames', 'keyFrames', 'audioFrames', 'mediaBytes']) fresh[k] = this.flv[k];
    this.flv = fresh;
    const log = fs.openSync(this.logFile, 'a');
    // The probe must outlast one key frame interval (a live server starts a reader at the next
    // key frame) but not ffmpeg's default five seconds; unbuffered output keeps the count close
    // to what the server has now.
    this.reader = spawn('ffmpeg', ['-nostdin', '-v', 'error', '-fflags', 'nobuffer', '-probesize', '5000000',
      '-analyzeduration', '3000000', '-rw_timeout', '10000000', '-i', this.url,
      '-c', 'copy', '-flush_packets', '1', '-f', 'flv', 'pipe:1'], { stdio: ['ignore', 'pipe', log] });
    fs.closeSync(log);
    this.reader.on('error', () => {});
    this.reader.stdout.on('data', (d) => this.flv.push(d));
    // The stream may not be there yet when the reader starts: try again shortly.
    this.reader.on('exit', () => { if (!this.stopped) this.retry = setTimeout(() => this.startReader(), 1000); });
  }

  // Reads what the file gained since the last call.
  poll() {
    if (!this.file || !fs.existsSync(this.file)) return;
    const fd = fs.openSync(this.file, 'r');
    try {
      const buf = Buffer.alloc(1 << 16);
      for (;;) {
        const n = fs.readSync(fd, buf, 0, buf.length, this.offset);
        if (n <= 0) break;
        this.offset += n;
        this.flv.push(buf.subarray(0, n));
      }
    } finally {
      fs.closeSync(fd);
    }
  }

  // kbit/s over the interval since the previous call.
  kbps(seconds) {
    const bytes = this.flv.mediaBytes - this.lastBytes;
    this.lastBytes = this.flv.mediaBytes;
    return seconds > 0 ? Math.max(0, (bytes * 8) / 1000 / seconds) : 0;
  }

  stop() {
    this.stopped = true;
    clearTimeout(this.retry);
    if (this.reader && this.reader.exitCode === null) this.reader.kill('SIGTERM');
  }
}

// What this process has sent to the server and the server acknowledged, from the kernel's
// view of our own TCP connections to that port (ss). Used when the server relays nothing back
// (FFmpeg's listener, for one, takes a single client).
class SocketCounter {
  constructor(url) {
    const m = /^rtmp(s?):\/\/(?:\[[^\]]+\]|[^/:]+)(?::(\d+))?\//.exec(url);
    this.port = m && m[2] ? Number(m[2]) : (m && m[1] ? 443 : 1935);
    this.total = 0;     // bytes acknowledged on connections that have ended
    this.live = new Map(); // local port -> bytes acknowledged so far
    this.last = 0;
  }

  poll() {
    const r = spawnSync('ss', ['-tnipH', 'state', 'established', `dport = :${this.port}`],
      { encoding: 'utf8', timeout: 2000 });
    if (r.status !== 0) return;
    const now = new Map();
    const lines = r.stdout.split('\n');
    for (let i = 0; i < lines.length; i++) {
      if (!lines[i].includes(`pid=${process.pid},`)) continue;
      const local = /^\S+\s+\S+\s+(\S+)/.exec(lines[i]);
      const acked = /bytes_acked:(\d+)/.exec(`${lines[i]} ${lines[i + 1] || ''}`);
      if (local && acked) now.set(local[1], Number(acked[1]));
    }
    for (const [key, bytes] of this.live) if (!now.has(key)) this.total += bytes;
    this.live = now;
  }

  get bytes() {
    let n = this.total;
    for (const b of this.live.values()) n += b;
    return n;
  }

  kbps(seconds) {
    const bytes = this.bytes;
    const d = bytes - this.last;
    this.last = bytes;
    return seconds > 0 ? Math.max(0, (d * 8) / 1000 / seconds) : 0;
  }
}

async function main() {
  let o;
  try {
    o = parseArgs(process.argv.slice(2));
  } catch (e) {
    if (!(e instanceof UsageError)) throw e;
    fail(e.message);
    return 2;
  }
  if (o.help) {
    say(USAGE);
    return 0;
  }

  const runDir = process.env.STREAMCORE_RUN_WORKER;
  const output = o.output || path.join(runDir, 'recording.mp4');
  try {
    if (o.output) checkWritable(output);
    fs.mkdirSync(runDir, { recursive: true });
  } catch (e) {
    fail(e instanceof UsageError ? e.message : `cannot make ${runDir}: ${e.code || e.message}`);
    return 2;
  }

  const peers = new Peers(runDir);
  let addon = null;
  let initialized = false;
  const stop = { requested: false, reason: '' };
  // The first signal stops cleanly; one more, a second or more later, ends at once. (Ctrl-C
  // reaches this process twice at the same moment: from the terminal and from the supervisor.)
  let firstSignal = 0;
  const onSignal = () => {
    if (firstSignal && Date.now() - firstSignal > 1000) process.exit(130);
    if (firstSignal) return;
    firstSignal = Date.now();
    stop.requested = true;
    stop.reason = 'interrupted';
  };
  process.on('SIGINT', onSignal);
  process.on('SIGTERM', onSignal);

  const result = { published: false, publishFailed: false, recorded: false, recordFailure: null };
  // The connection as the publish events tell it: the publisher reconnects by itself after a
  // drop and reports every attempt.
  const link = { up: false, attempts: 0, downSince: Date.now(), drops: 0 };
  let counter = null;
  try {
    if (!process.env.DISPLAY) {
      const display = await peers.startDisplay();
      say(`display: started Xvfb on ${display} (openbox, xclock, xlogo)`);
    } else {
      say(`display: ${process.env.DISPLAY}`);
    }
    if (!Peers.soundServerAnswers()) {
      await peers.startSound();
      say('sound: started pulseaudio: a null sound card playing 440 Hz, a test microphone hearing 880 Hz');
    } else {
      say('sound: using the running sound server');
    }
    let url = o.url;
    let serverCopy = null;
    if (!url) {
      const serverDir = path.join(runDir, 'server');
      fs.mkdirSync(serverDir);
      const base = await peers.startRtmpServer(serverDir);
      url = `${base}/lesson`;
      serverCopy = path.join(serverDir, 'lesson.flv');
      say(`server: started nginx RTMP on ${base}`);
    }
    const name = streamName(url);

    process.env.STREAMCORE_BUILD = process.env.STREAMCORE_BUILD || path.join(ROOT, 'build');
    addon = require(path.join(ROOT, 'addon'));

    let events = 0;
    addon.setRunCallback((text) => {
      if (text === 'Initialize finish' || text === 'Uninitialize finish') return;
      events++;
      let e = null;
      try { e = JSON.parse(text); } catch { /* shown as it came */ }
      say(`event: ${text.trim()}`);
      if (e && e.eventid === 6005) {
        // A write failed: the recording ended there (the file keeps what was written); the
        // stream goes on.
        result.recordFailure = `the recording ${e.file} failed: ${e.reason}`;
        say(`${result.recordFailure}; publishing goes on`);
      }
      if (e && e.eventid === 6001 && e.rtmpurl === name) {
        if (e.result === 0) {
          result.published = true;
          link.up = true;
          link.attempts = 0;
          // Frames encoded before the connection stood were dropped; a key frame now lets the
          // server's copy start at once rather than at the next regular key frame.
          addon.forceKeyFrame(url);
        } else {
          result.publishFailed = true;
          if (link.up) {
            link.up = false;
            link.drops++;
            link.downSince = Date.now();
          }
          link.attempts++;
        }
      }
    });
    // With its log on, the endpoint writes log files next to the running program (node's own
    // folder); the job keeps it off and reports through events, progress and native.log.
    initialized = addon.initialize(false) === 1;
    if (!initialized) throw new Error('the media endpoint did not initialize (is the display reachable?)');

    if (o.listWindows) {
      const list = JSON.parse(addon.enumWindowList()).windowList || [];
      for (const w of list) say(`${w.hWnd >>> 0}\t${w.windowName}\t${w.filePath}`);
      return 0;
    }
    let window = 0;
    let what = 'the desktop';
    if (o.window !== null) {
      const w = pickWindow(addon.enumWindowList(), o.window);
      window = w.hWnd;
      what = `window '${w.windowName}' (0x${(w.hWnd >>> 0).toString(16)})`;
    }

    const mics = addon.getMicphoneCount();
    if (mics > 0 && addon.openMic(0)) say(`microphone: ${addon.getMicphoneNames(0)}`);
    else say('microphone: none opened (the mix carries the sound card only)');

    say(`sharing ${what} at ${o.width}x${o.height}, ${o.fps} fps, ${o.kbps} kbit/s`);
    say(`publishing to ${url}`);
    const pub = addon.publishStream(window, url, o.width, o.height, o.kbps, o.mode, o.fps);
    if (pub !== 0) throw new Error(`publishStream gave ${pub}: ${RESULT_TEXT[pub] || 'failed'}`);
    say(`recording to ${output}`);
    const rec = addon.startRecordApp(output, window, o.width, o.height, o.kbps, true, o.fps);
    if (rec !== 0) throw new Error(`startRecordApp gave ${rec}: ${RESULT_TEXT[rec] || 'failed'}`);

    counter = serverCopy ? SentCounter.fromFile(serverCopy) : SentCounter.fromUrl(url, path.join(runDir, 'reader.log'));
    const sockets = serverCopy ? null : new SocketCounter(url);
    let relaySilentSince = Date.now();
    const started = Date.now();
    link.downSince = started;
    let lastTick = started;
    let nextLine = started + 1000;
    while (!stop.requested) {
      while (addon.onTimer() > 1) { /* deliver everything queued */ }
      const now = Date.now();
      if (now >= nextLine) {
        counter.poll();
        const seconds = (now - lastTick) / 1000;
        const kbps = counter.kbps(seconds);
        if (kbps > 0 || !link.up) relaySilentSince = now;
        lastTick = now;
        nextLine += 1000;
        const f = counter.flv;
        const at = `[${String(Math.round((now - started) / 1000)).padStart(4)} s]`;
        const tail = `; ${events} event${events === 1 ? '' : 's'}`;
        let sent = `sent ${f.videoFrames} frames (${f.keyFrames} key), ${kbps.toFixed(0)} kbit/s, ${f.audioFrames} audio frames`;
        if (sockets) {
          sockets.poll();
          const sentKbps = sockets.kbps(seconds);
          // The server has relayed nothing back for a while although we are connected: count
          // what went out instead.
          if (now - relaySilentSince >= 5000) {
            sent = `sent ${(sockets.bytes / 1000).toFixed(0)} kB to the server, ${sentKbps.toFixed(0)} kbit/s ` +
              '(the server relays nothing back)';
          }
        }
        if (!link.up && result.published) {
          say(`${at} reconnecting (attempt ${link.attempts}), away ${Math.round((now - link.downSince) / 1000)} s; ${sent}${tail}`);
        } else if (!link.up) {
          say(`${at} connecting (attempt ${link.attempts + 1})${tail}`);
        } else {
          say(`${at} ${sent}${tail}`);
        }
      }
      if (now - started >= o.seconds * 1000) {
        stop.requested = true;
        stop.reason = `${o.seconds} s are up`;
      }
      if (!link.up && !stop.requested && now - link.downSince >= o.giveUp * 1000) {
        stop.requested = true;
        stop.reason = `no connection to the server for ${o.giveUp} s`;
      }
      await sleep(50);
    }
    const standing = link.up;
    say(`stopping: ${stop.reason}`);
    const recStopped = addon.stopRecordApp();
    // A write that failed just now is reported on the endpoint's event thread: give its text a
    // moment to arrive.
    const until = Date.now() + 2000;
    while (!recStopped && !result.recordFailure && Date.now() < until) {
      while (addon.onTimer() > 1) { /* deliver everything queued */ }
      await sleep(50);
    }
    addon.stopPublishStream();
    addon.uninitialize();
    initialized = false;
    for (let i = 0; i < 20 && addon.onTimer() > 0; i++) { /* late events */ }
    counter.poll();
    counter.stop();
    const sent = counter.flv;
    await peers.stopAll(); // nginx closes its copy

    say('');
    say(`sent: ${sent.videoFrames} video frames, ${sent.audioFrames} audio frames, ${(sent.mediaBytes / 1e6).toFixed(2)} MB`);
    const r = fs.existsSync(output) ? probeSummary(output) : { ok: false, text: 'no file was written' };
    result.recorded = recStopped && r.ok;
    say(`recording: ${output}`);
    say(`  ${r.text}`);
    if (serverCopy) {
      const s = fs.existsSync(serverCopy) ? probeSummary(serverCopy) : { ok: false, text: 'the server kept nothing' };
      say(`server copy: ${serverCopy}`);
      say(`  ${s.text}`);
    } else {
      say(`server copy: on the server at ${url} (its relay carried ${sent.videoFrames} frames back here)`);
    }
    if (link.drops > 0) say(`connection: dropped ${link.drops} time${link.drops === 1 ? '' : 's'}; ${standing ? 'standing at the end' : 'not connected at the end'}`);
    say(`logs: ${runDir}`);
    if (!result.published) fail(result.publishFailed ? `the server refused or could not be reached: ${url}` : 'no publish result arrived');
    else if (!standing) fail(`the stream was not connected at the end (server away for ${Math.round((Date.now() - link.downSince) / 1000)} s)`);
    if (result.recordFailure) fail(result.recordFailure);
    else if (!recStopped) fail(`the recording ${output} could not be finished${diskFull(output) ? ' (no space left on its disk)' : ''}`);
    else if (!result.recorded) fail('the recording is missing or unreadable');
    return result.published && standing && result.recorded ? 0 : 1;
  } catch (e) {
    fail(e.message);
    return e instanceof UsageError ? 2 : 1;
  } finally {
    if (counter) counter.stop();
    if (addon && initialized) {
      try {
        addon.stopRecordApp();
        addon.stopPublishStream();
        addon.uninitialize();
      } catch { /* already failing */ }
    }
    await peers.stopAll();
  }
}

// The native libraries write diagnostic lines of their own (thread start and end) to the
// standard error stream. The job therefore runs as a worker process whose error stream passes
// through here: its own "run: " lines reach the terminal, the libraries' lines go to the run
// folder's native.log, so a failure stays one clear line.
function supervise() {
  const runDir = path.join(process.env.STREAMCORE_RUN_DIR || path.join(ROOT, 'build', 'run'), timestamp());
  const child = spawn(process.execPath, [__filename, ...process.argv.slice(2)], {
    env: { ...process.env, STREAMCORE_RUN_WORKER: runDir },
    stdio: ['inherit', 'inherit', 'pipe'],
  });
  let log = null;
  let partial = '';
  const route = (line) => {
    if (line.startsWith('run: ')) {
      process.stderr.write(`${line}\n`);
      return;
    }
    if (log === null) {
      fs.mkdirSync(runDir, { recursive: true });
      log = fs.openSync(path.join(runDir, 'native.log'), 'a');
    }
    fs.writeSync(log, `${line}\n`);
  };
  child.stderr.setEncoding('utf8');
  child.stderr.on('data', (d) => {
    const lines = (partial + d).split('\n');
    partial = lines.pop();
    lines.forEach(route);
  });
  // Signals sent to us alone are passed on; the worker stops cleanly on the first.
  process.on('SIGINT', () => child.kill('SIGINT'));
  process.on('SIGTERM', () => child.kill('SIGTERM'));
  child.on('exit', (code, signal) => {
    if (partial) route(partial);
    if (log !== null) fs.closeSync(log);
    process.exit(code === null ? (signal === 'SIGINT' ? 130 : 1) : code);
  });
}

if (process.env.STREAMCORE_RUN_WORKER) {
  main().then((code) => process.exit(code), (e) => {
    fail(e.stack ? e.stack.split('\n').join(' | ') : String(e));
    process.exit(1);
  });
} else {
  supervise();
}
