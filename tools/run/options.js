'use strict';
// Command line of the main job: what it accepts, its defaults, and the checks that turn bad
// input into one clear line before anything is started.

const path = require('node:path');

class UsageError extends Error {}

const USAGE = `usage: scripts/run [options]

Shares the desktop (or one window) with the sound card and the microphone mixed in, live to an
RTMP server and into a recording file at the same time, through the script addon. Once a second
it prints one progress line; when the time is up or on Ctrl-C it stops cleanly and prints what it
made: the recording with its ffprobe summary, and the server's copy.

With no option it runs against embedded defaults that it starts and stops itself:
  - an Xvfb display with a window manager and two helper windows, when DISPLAY is unset;
  - a pulseaudio server whose null sound card plays a 440 Hz tone and whose test microphone
    hears 880 Hz, when no sound server answers;
  - an nginx RTMP server on a free 127.0.0.1 port, which keeps its own copy of the stream.

options:
  --seconds N        how long to share, in seconds (default 10)
  --window TITLE     share the window with this title (or the one window whose title contains
                     it) instead of the desktop; --list-windows shows the titles
  --list-windows     print the windows that may be shared, then exit
  --url URL          publish to this RTMP URL (rtmp://host[:port]/app/stream, or rtmps://
                     for TLS) instead of the local server; progress then counts what that
                     server relays back, or what was sent to it when it relays nothing
  --give-up N        end after N seconds without a connection to the server (default 30);
                     while it is away the progress line says "reconnecting (attempt N)"
  --output FILE      recording file; the extension picks the container: .mp4 (default),
                     .flv or .mkv (default build/run/recording-<time>.mp4)
  --size WxH         picture size sent and recorded (default 1280x720)
  --fps N            frames per second, 10 to 50 (default 15)
  --kbps N           video bitrate in kbit/s (default 1500)
  --mode MODE        publish type: live (default), record or append
  -h, --help         this text

environment: STREAMCORE_BUILD (the build folder, default build/), STREAMCORE_RUN_DIR (where
each run's folder goes, default build/run), STREAMCORE_CA_FILE (extra trusted CA certificates
in PEM for rtmps:// servers).

exit status: 0 when the stream stood at the end and the recording was made, 1 when the stream
was not connected at the end (never, or the server went away) or something failed on the way,
2 for bad input.`;

const DEFAULTS = {
  seconds: 10, window: null, listWindows: false, url: null, output: null,
  width: 1280, height: 720, fps: 15, kbps: 1500, mode: 'live', help: false, giveUp: 30,
};

const MAX_TEXT = 255; // the addon refuses longer texts

function positiveInt(name, text, min, max) {
  if (!/^\d+$/.test(text || '')) throw new UsageError(`${name} wants a whole number, not '${text ?? ''}'`);
  const n = Number(text);
  if (n < min || n > max) throw new UsageError(`${name} must be between ${min} and ${max}, not ${n}`);
  return n;
}

// rtmp[s]://host[:port]/app[/more]/stream: the server needs an application and a stream name.
function checkRtmpUrl(url) {
  const m = /^rtmps?:\/\/([A-Za-z0-9.-]+|\[[0-9A-Fa-f:.]+\])(?::(\d{1,5}))?\/([^/?#\s]+)((?:\/[^/?#\s]+)*)\/([^/?#\s]+)$/.exec(url);
  if (!m) {
    throw new UsageError(`malformed RTMP URL '${url}' (expected rtmp://host[:port]/app/stream or rtmps://...)`);
  }
  if (m[2] !== undefined && (Number(m[2]) < 1 || Number(m[2]) > 65535)) {
    throw new UsageError(`malformed RTMP URL '${url}' (port ${m[2]} is out of range)`);
  }
  if (Buffer.byteLength(url, 'latin1') > MAX_TEXT || /[^\x20-\x7e]/.test(url)) {
    throw new UsageError(`RTMP URL '${url}' must be plain ASCII of at most ${MAX_TEXT} bytes`);
  }
  return url;
}

function parseArgs(argv) {
  const o = { ...DEFAULTS };
  const value = (i, name) => {
    if (i + 1 >= argv.length) throw new UsageError(`${name} needs a value`);
    return argv[i + 1];
  };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    switch (a) {
      case '-h': case '--help': o.help = true; break;
      case '--list-windows': o.listWindows = true; break;
      case '--seconds': o.seconds = positiveInt(a, value(i, a), 1, 86400); i++; break;
      case '--give-up': o.giveUp = positiveInt(a, value(i, a), 1, 86400); i++; break;
      case '--window':
        o.window = value(i, a); i++;
        if (o.window === '') throw new UsageError('--window needs a title');
        break;
      case '--url': o.url = checkRtmpUrl(value(i, a)); i++; break;
      case '--output': o.output = value(i, a); i++; break;
      case '--size': {
        const m = /^(\d+)x(\d+)$/.exec(value(i, a));
        if (!m) throw new UsageError(`--size wants WIDTHxHEIGHT, not '${argv[i + 1]}'`);
        o.width = positiveInt('width', m[1], 16, 4096);
        o.height = positiveInt('height', m[2], 16, 4096);
        if (o.width % 2 || o.height % 2) throw new UsageError(`--size ${m[0]}: width and height must be even`);
        i++;
        break;
      }
      case '--fps': o.fps = positiveInt(a, value(i, a), 10, 50); i++; break;
      case '--kbps': o.kbps = positiveInt(a, value(i, a), 50, 50000); i++; break;
      case '--mode': {
        o.mode = value(i, a); i++;
        if (!['live', 'record', 'append'].includes(o.mode)) {
          throw new UsageError(`--mode must be live, record or append, not '${o.mode}'`);
        }
        break;
      }
      default: throw new UsageError(`unknown argument '${a}' (see --help)`);
    }
  }
  if (o.output !== null) {
    if (o.output === '') throw new UsageError('--output needs a file name');
    o.output = path.resolve(o.output);
    if (Buffer.byteLength(o.output, 'utf8') > MAX_TEXT) {
      throw new UsageError(`recording path '${o.output}' is longer than ${MAX_TEXT} bytes`);
    }
    if (!/\.(mp4|flv|mkv)$/i.test(o.output)) {
      throw new UsageError(`recording file '${o.output}' must end in .mp4, .flv or .mkv`);
    }
  }
  return o;
}

// The stream name a server reports back for a URL: its last path segment.
function streamName(url) {
  return url.slice(url.lastIndexOf('/') + 1);
}

// The window to share, from the addon's window list text. Exact title first, then the one
// window whose title contains the text.
function pickWindow(listJson, title) {
  let list;
  try {
    list = JSON.parse(listJson).windowList || [];
  } catch (e) {
    throw new Error(`the window list is not JSON: ${e.message}`);
  }
  const exact = list.filter((w) => w.windowName === title);
  const near = exact.length ? exact : list.filter((w) => String(w.windowName).includes(title));
  if (near.length === 1) return near[0];
  const titles = list.map((w) => `'${w.windowName}'`).join(', ') || 'none';
  if (near.length === 0) throw new UsageError(`no window titled '${title}' (windows: ${titles})`);
  throw new UsageError(`${near.length} windows match '${title}': ${near.map((w) => `'${w.windowName}'`).join(', ')}`);
}

module.exports = { USAGE, UsageError, parseArgs, checkRtmpUrl, streamName, pickWindow };
