'use strict';
// Loads the built module: from $STREAMCORE_BUILD/lib when that is set, else from the build
// folder next to this one. Exports the module's fourteen functions unchanged and the class
// StreamCore, an EventEmitter over the same endpoint.
const path = require('path');
const { EventEmitter } = require('events');

const buildDir = process.env.STREAMCORE_BUILD
  ? path.resolve(process.env.STREAMCORE_BUILD)
  : path.join(__dirname, '..', 'build');

const native = require(path.join(buildDir, 'lib', 'streamAddon.node'));
const { NativeStreamCore } = native;

const MIXER = 'mix';
const MODES = { live: 0, record: 1, append: 2 };

// Argument checks: a TypeError naming the method, the argument and what it must be.
function wrong(method, name, expected) {
  return new TypeError(`${method}: ${name} must be ${expected}`);
}
function isObject(v) {
  return v !== null && typeof v === 'object';
}
function options(method, v, name = 'options') {
  if (v === undefined) return {};
  if (!isObject(v)) throw wrong(method, name, 'an object');
  return v;
}
function text(method, name, v, { empty = false } = {}) {
  if (typeof v !== 'string') throw wrong(method, name, 'a string');
  if (!empty && v === '') throw wrong(method, name, 'a non-empty string');
  return v;
}
function integer(method, name, v, min, max) {
  if (typeof v !== 'number' || !Number.isInteger(v) || v < min || v > max) {
    throw wrong(method, name, `an integer from ${min} to ${max}`);
  }
  return v;
}
function windowId(method, name, v) {
  return integer(method, name, v, 0, 0xffffffff);
}
function bool(method, name, v) {
  if (typeof v !== 'boolean') throw wrong(method, name, 'a boolean');
  return v;
}

// The result callback holds the emitter only weakly, so that an emitter nobody references is
// collected (and stops what it started) even while the endpoint may still report.
function forwarder(weak) {
  return (kind, stream, result) => {
    const core = weak.deref();
    if (core) core._result(kind, stream, result);
  };
}

// The last path segment of a url: the stream name results carry.
function streamName(url) {
  const cut = url.lastIndexOf('/');
  return cut === -1 ? url : url.slice(cut + 1);
}

// A handle on something the endpoint runs. stop() ends it once (later calls do nothing) and
// throws once the StreamCore is closed; each kind says how it ends in _end(native).
class Handle {
  constructor(core) {
    this._core = core;
    this._stopped = false;
  }

  stop() {
    const native = this._core._native('stop');
    if (this._stopped) return;
    this._stopped = true;
    this._end(native);
  }
}

class Source extends Handle {
  constructor(core, kind, name) {
    super(core);
    this._kind = kind;
    this.name = name;
  }

  _end(native) {
    if (this._kind === 'camera') native.closeCamera(this.name);
    else native.stopCapture(this.name);
  }
}

class Publication extends Handle {
  constructor(core, url) {
    super(core);
    this.url = url;
    this.connected = new Promise((resolve) => { this._resolve = resolve; });
  }

  pause() { this._core._native('pause').pausePublish(this.url); }
  resume() { this._core._native('resume').resumePublish(this.url); }
  forceKeyFrame() { this._core._native('forceKeyFrame').forceKeyFrame(this.url); }

  _end(native) {
    native.stopPublish(this.url);
    this._core._publications.delete(this);
  }
}

class Recording extends Handle {
  constructor(core, file, id) {
    super(core);
    this.file = file;
    this._id = id;
  }

  _end(native) { native.stopRecord(this._id); }
}

class Playback extends Handle {
  constructor(core, url) {
    super(core);
    this.url = url;
  }

  moveTo(window) {
    const native = this._core._native('moveTo');
    native.movePlay(this.url, windowId('moveTo', 'window', window));
  }

  _end(native) {
    native.stopPlay(this.url);
    this._core._playbacks.delete(this);
  }
}

class StreamCore extends EventEmitter {
  constructor(opts) {
    super();
    const o = options('new StreamCore', opts);
    const log = o.log === undefined ? false : bool('new StreamCore', 'options.log', o.log);
    this._core = new NativeStreamCore(log, forwarder(new WeakRef(this)));
    this._publications = new Set();
    this._playbacks = new Set();
  }

  _native() {
    if (!this._core) throw new Error('StreamCore is closed');
    return this._core;
  }

  _result(kind, stream, result) {
    if (!this._core) return;
    if (kind === 'bitrate') {
      if ([...this._publications].some((p) => p.url === stream)) this.emit('bitrate', { url: stream, kbps: result });
      return;
    }
    const outputs = kind === 'play' ? this._playbacks : this._publications;
    for (const output of [...outputs]) {
      if (streamName(output.url) !== stream) continue;
      if (kind === 'publish' && result === 0) output._resolve();
      this.emit(kind, { url: output.url, stream, result });
    }
  }

  close() {
    const core = this._native();
    this._core = null;
    core.close();
  }

  // Devices

  microphones() { return this._native().microphones(); }
  speakers() { return this._native().speakers(); }
  cameras() { return this._native().cameras(); }

  openMicrophone(id) {
    const native = this._native();
    native.openMicrophone(text('openMicrophone', 'id', id, { empty: true }));
  }

  closeMicrophone() { this._native().closeMicrophone(); }

  openSpeaker(id) {
    const native = this._native();
    native.openSpeaker(text('openSpeaker', 'id', id, { empty: true }));
  }

  get microphoneVolume() { return this._native().getMicrophoneVolume(); }
  set microphoneVolume(v) {
    const native = this._native();
    native.setMicrophoneVolume(integer('microphoneVolume', 'the volume', v, 0, 100));
  }

  get speakerVolume() { return this._native().getSpeakerVolume(); }
  set speakerVolume(v) {
    const native = this._native();
    native.setSpeakerVolume(integer('speakerVolume', 'the volume', v, 0, 100));
  }

  get microphoneMuted() { return this._native().getMicrophoneMuted(); }
  set microphoneMuted(v) {
    const native = this._native();
    native.setMicrophoneMuted(bool('microphoneMuted', 'the value', v));
  }

  set autoGain(v) {
    const native = this._native();
    native.setAutoGain(bool('autoGain', 'the value', v));
  }

  startMicrophoneTest() { this._native().startMicrophoneTest(); }
  microphoneLevel() { return this._native().microphoneLevel(); }
  stopMicrophoneTest() { this._native().stopMicrophoneTest(); }

  startSpeakerTest(file) {
    const native = this._native();
    native.startSpeakerTest(text('startSpeakerTest', 'file', file));
  }

  speakerLevel() { return this._native().speakerLevel(); }
  stopSpeakerTest() { this._native().stopSpeakerTest(); }

  // Windows

  windows() {
    const list = JSON.parse(this._native().windows());
    // Window ids are unsigned (the text writes them as signed 32-bit numbers).
    return (list.windowList || []).map((w) => ({ ...w, hWnd: w.hWnd >>> 0 }));
  }

  showThumbnail(sourceWindow, targetWindow) {
    const native = this._native();
    return native.showThumbnail(windowId('showThumbnail', 'sourceWindow', sourceWindow),
      windowId('showThumbnail', 'targetWindow', targetWindow));
  }

  removeThumbnail(handle) {
    const native = this._native();
    native.removeThumbnail(integer('removeThumbnail', 'handle', handle, 1, 0x7fffffff));
  }

  bringToTop(window) {
    const native = this._native();
    native.bringToTop(windowId('bringToTop', 'window', window));
  }

  // Sources

  captureWindow(window, opts) {
    const native = this._native();
    const m = 'captureWindow';
    windowId(m, 'window', window);
    const o = options(m, opts);
    const width = integer(m, 'options.width', o.width === undefined ? 640 : o.width, 16, 4096);
    const height = integer(m, 'options.height', o.height === undefined ? 480 : o.height, 16, 4096);
    const fps = integer(m, 'options.fps', o.fps === undefined ? 15 : o.fps, 1, 60);
    const kbps = integer(m, 'options.kbps', o.kbps === undefined ? 800 : o.kbps, 1, 100000);
    const cursor = o.cursor === undefined ? false : bool(m, 'options.cursor', o.cursor);
    return new Source(this, 'window', native.captureWindow(window, width, height, fps, kbps, cursor));
  }

  openCamera(id, opts) {
    const native = this._native();
    const m = 'openCamera';
    text(m, 'id', id);
    const o = options(m, opts);
    const width = integer(m, 'options.width', o.width === undefined ? 640 : o.width, 16, 4096);
    const height = integer(m, 'options.height', o.height === undefined ? 480 : o.height, 16, 4096);
    const fps = integer(m, 'options.fps', o.fps === undefined ? 15 : o.fps, 1, 60);
    const preview = o.preview === undefined || o.preview === null ? 0 : windowId(m, 'options.preview', o.preview);
    return new Source(this, 'camera', native.openCamera(id, width, height, fps, preview));
  }

  // Outputs

  _source(method, v) {
    if (v === undefined || v === null) return '';
    if (!(v instanceof Source) || v._core !== this) throw wrong(method, 'options.video', 'a Source of this StreamCore or null');
    if (v._stopped) throw new Error(`${method}: the video source has stopped`);
    return v.name;
  }

  _audio(method, v) {
    if (v === undefined || v === null) return false;
    if (v !== MIXER) throw wrong(method, 'options.audio', '"mix" or null');
    return true;
  }

  publish(url, opts) {
    const native = this._native();
    const m = 'publish';
    text(m, 'url', url);
    const o = options(m, opts);
    const video = this._source(m, o.video);
    const mix = this._audio(m, o.audio);
    if (video === '' && !mix) throw wrong(m, 'options.video or options.audio', 'a source (both are null)');
    const mode = o.mode === undefined ? 'live' : o.mode;
    if (!Object.prototype.hasOwnProperty.call(MODES, mode)) throw wrong(m, 'options.mode', '"live", "record" or "append"');
    const publication = new Publication(this, url);
    // Registered first: a result may be reported before the call returns.
    this._publications.add(publication);
    try {
      native.publish(url, video, mix, MODES[mode]);
    } catch (e) {
      this._publications.delete(publication);
      throw e;
    }
    return publication;
  }

  record(file, opts) {
    const native = this._native();
    const m = 'record';
    text(m, 'file', file);
    const o = options(m, opts);
    const video = this._source(m, o.video);
    if (video === '') throw wrong(m, 'options.video', 'a Source of this StreamCore');
    const mix = this._audio(m, o.audio);
    return new Recording(this, file, native.record(file, video, mix));
  }

  play(url, opts) {
    const native = this._native();
    const m = 'play';
    text(m, 'url', url);
    const o = options(m, opts);
    const window = o.window === undefined ? 0 : windowId(m, 'options.window', o.window);
    const playback = new Playback(this, url);
    this._playbacks.add(playback);
    try {
      native.play(url, window);
    } catch (e) {
      this._playbacks.delete(playback);
      throw e;
    }
    return playback;
  }
}

module.exports = {};
for (const name of Object.keys(native)) module.exports[name] = native[name];
module.exports.StreamCore = StreamCore;
