'use strict';
// Lip sync and delay of the publishing road, against FFmpeg on the same screen and sound card.
//
// Xvfb, a pulseaudio whose null sink "card" is the sound card, and nginx are started; the
// desktop and the sound card are captured through the addon (published to nginx and recorded
// to a local MP4 at once) and, at the same time, by FFmpeg (x11grab + pulse, -copyts so both
// inputs keep wall-clock time, published to the same nginx). The stimulus then turns the
// desktop from black to white in a RAMP_MS linear ramp that starts at the instant a 1 kHz tone
// reaches the sound card, FLASHES times. For each copy (the server's copy of each publisher and
// the local recording) it prints, for every flash, the A/V offset (tone onset minus the ramp's
// start, both placed on the copy's own timeline; the ramp's middle is found between frames,
// so the frame interval does not limit it), and for the server copies the delays from the
// flash (the ramp's middle) to the first frame past it reaching the server, and from the tone's
// onset to the audio frame holding it reaching the server (both as the server's record file
// grew).
//
// Two runs: "plain" (server up first) and "late" (the server starts 1.3 s after the addon
// began publishing: a connect inside a key-frame interval, no key frame asked for).
//
// Usage: node bench/lipsync/lipsync.js PROBE [FLASHES]   (run.sh builds and passes PROBE)
const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const peers = require('../../addon/test/peers.helper');

const probe = process.argv[2];
const FLASHES = Number(process.argv[3] || 8);
const RAMP_MS = 100;
// Flashes 1413 ms apart: not a whole number of frame intervals, so the flashes fall at
// different points between two grabs and the mean delay does not hang on one phase.
const GAP_MS = 913;
const LEAD_MS = 8000;
const FPS = 30;
const addon = peers.loadAddon();

function collect(argv, input) {
  const child = spawn(argv[0], argv.slice(1), { stdio: [input ? 'pipe' : 'ignore', 'pipe', 'inherit'] });
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  child.done = new Promise((resolve) => child.on('exit', () => resolve(out)));
  return child;
}

function marks(file) {
  const r = peers.run([probe, 'marks', file]);
  const m = { flashes: [], onsets: [] };
  if (r.status !== 0) { m.error = r.stderr.trim(); return m; }
  for (const line of r.stdout.split('\n')) {
    const [kind, ms, frame] = line.split(' ');
    if (kind === 'flash') m.flashes.push({ ms: +ms, frame: +frame });
    if (kind === 'onset') m.onsets.push({ ms: +ms, frame: +frame });
  }
  return m;
}

const fmt = (v) => (v === undefined || Number.isNaN(v) ? '   -  ' : v.toFixed(1).padStart(6));
const mean = (a) => { const v = a.filter((x) => x !== undefined); return v.length ? v.reduce((s, x) => s + x, 0) / v.length : NaN; };

// Per flash of one copy: A/V offset and (given the server's tag arrivals) the two delays.
function analyse(name, file, flashesUs, arrivals) {
  const m = marks(file);
  const rows = [];
  if (m.error) return { name, error: m.error, rows };
  if (m.flashes.length !== flashesUs.length) {
    const streams = peers.run(['ffprobe', '-v', 'error', '-show_entries', 'stream=codec_name,start_time',
      '-of', 'csv=p=0', file]).stdout.trim().replace(/\n/g, '; ');
    return { name, error: `${m.flashes.length} flashes found, ${flashesUs.length} made (${streams})`, rows };
  }
  m.flashes.forEach((f, k) => {
    const start = f.ms - RAMP_MS / 2;  // the ramp's start on the copy's timeline
    let onset;
    for (const o of m.onsets) if (!onset || Math.abs(o.ms - start) < Math.abs(onset.ms - start)) onset = o;
    const row = { av: onset && Math.abs(onset.ms - start) < 1000 ? onset.ms - start : undefined };
    if (arrivals) {
      // From the ramp's middle (the flash, as a step) to the first frame past it on the server.
      const v = arrivals.get(`v ${Math.round(f.frame)}`);
      if (v !== undefined) row.video = (v - flashesUs[k]) / 1000 - RAMP_MS / 2;
      const a = onset && arrivals.get(`a ${Math.round(onset.frame)}`);
      if (a !== undefined && row.av !== undefined) row.audio = (a - flashesUs[k]) / 1000;
    }
    rows.push(row);
  });
  return { name, rows };
}

async function runOnce(mode) {
  const display = await peers.startXvfb();
  const pulse = await peers.startPulse();
  const port = await peers.freePort();
  const url = (s) => `rtmp://127.0.0.1:${port}/live/${s}`;
  let nginx = mode === 'plain' ? await peers.startNginx(port) : null;
  // The stimulus plays silence into the sound card from the start, so the card runs at a short
  // latency before anything captures it (an idle null sink renders in blocks of seconds, and
  // what a capture gets then stays that late in FFmpeg); its flashes begin after LEAD_MS.
  const stimulus = collect([probe, 'stimulus', String(FLASHES), String(RAMP_MS), String(GAP_MS), String(LEAD_MS)], false);
  await peers.sleep(500);
  const local = path.join(peers.tempDir('lipsync'), 'local.mp4');
  const results = [];
  addon.setRunCallback((text) => results.push(text));
  if (addon.initialize(false) !== 1) throw new Error('initialize failed');
  results.length = 0;
  if (addon.publishStream(0, url('addon'), 640, 360, 1500, 'live', FPS) !== 0) throw new Error('publishStream failed');
  if (addon.startRecordApp(local, 0, 640, 360, 1500, true, FPS) !== 0) throw new Error('startRecordApp failed');
  if (!nginx) {
    await peers.sleep(1300);
    nginx = await peers.startNginx(port);
  }
  const connected = await peers.waitUntil(() => { addon.onTimer(); return results.some((r) => r.includes('"result":0')); }, 20000);
  if (!connected) throw new Error(`the addon did not connect: ${results.join(' ')}`);
  const addonFlv = nginx.recording('addon');
  const ffmpegFlv = nginx.recording('ffmpeg');
  const watcher = collect([probe, 'watch', addonFlv, ffmpegFlv], true);
  // Inputs without probing or buffering (as for any live capture), so FFmpeg starts at once.
  const live = ['-fflags', 'nobuffer', '-probesize', '32', '-analyzeduration', '0', '-thread_queue_size', '1024'];
  const ffmpeg = spawn('ffmpeg', ['-v', 'error', ...live, '-f', 'x11grab', '-framerate', String(FPS),
    '-video_size', '1280x720', '-i', display.display, ...live, '-f', 'pulse',
    '-fragment_size', '3840', '-i', 'card.monitor', '-copyts', '-start_at_zero', '-vf', 'scale=640:360',
    '-pix_fmt', 'yuv420p', '-c:v', 'libx264', '-preset', 'ultrafast', '-tune', 'zerolatency', '-g', String(2 * FPS), '-b:v', '1500k',
    '-c:a', 'aac', '-ar', '16000', '-ac', '1', '-b:a', '96k', '-flush_packets', '1', '-f', 'flv', url('ffmpeg')],
  { stdio: ['pipe', 'ignore', 'inherit'], env: { ...process.env, ...pulse.env } });
  const flashesUs = (await stimulus.done).split('\n').filter((l) => l.startsWith('flash ')).map((l) => Number(l.split(' ')[1]));
  await peers.sleep(500);
  addon.stopRecordApp();
  addon.stopPublishStream();
  addon.uninitialize();
  ffmpeg.stdin.write('q');
  await new Promise((resolve) => { ffmpeg.on('exit', resolve); setTimeout(resolve, 5000); });
  await peers.sleep(300);
  watcher.stdin.end();
  const tags = await watcher.done;
  await nginx.stop();
  await pulse.stop();
  await display.stop();

  if (process.env.LIPSYNC_KEEP) {
    // Copies of the three files for a closer look.
    for (const f of [addonFlv, ffmpegFlv, local]) fs.copyFileSync(f, path.join(process.env.LIPSYNC_KEEP, `${mode}-${path.basename(f)}`));
  }
  const arrivals = { [addonFlv]: new Map(), [ffmpegFlv]: new Map() };
  for (const line of tags.split('\n')) {
    const [word, file, kind, ts, us] = line.split(' ');
    if (word === 'tag' && arrivals[file] && !arrivals[file].has(`${kind} ${ts}`)) arrivals[file].set(`${kind} ${ts}`, Number(us));
  }
  return [
    analyse('addon, server copy', addonFlv, flashesUs, arrivals[addonFlv]),
    analyse('addon, local MP4', local, flashesUs, null),
    analyse('FFmpeg, server copy', ffmpegFlv, flashesUs, arrivals[ffmpegFlv]),
  ];
}

function print(mode, copies) {
  console.log(`\n== run "${mode}": ${FLASHES} flashes, ramp ${RAMP_MS} ms, ${FPS} fps (ms)`);
  for (const c of copies) {
    if (c.error) { console.log(`${c.name}: ${c.error}`); continue; }
    console.log(`${c.name}`);
    console.log(`  A/V offset (tone - picture): ${c.rows.map((r) => fmt(r.av)).join(' ')}   max |.| ${fmt(Math.max(...c.rows.map((r) => Math.abs(r.av ?? NaN))))}`);
    if (c.rows.some((r) => r.video !== undefined)) {
      console.log(`  flash -> server (video):     ${c.rows.map((r) => fmt(r.video)).join(' ')}   mean ${fmt(mean(c.rows.map((r) => r.video)))}`);
      console.log(`  beep -> server (audio):      ${c.rows.map((r) => fmt(r.audio)).join(' ')}   mean ${fmt(mean(c.rows.map((r) => r.audio)))}`);
    }
  }
}

(async () => {
  for (const mode of (process.env.LIPSYNC_RUNS || 'plain,late').split(',')) print(mode, await runOnce(mode));
  process.exit(0);
})().catch((e) => { console.error(e); process.exit(1); });
