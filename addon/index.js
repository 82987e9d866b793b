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

// The event callback holds the emitter only weakly: the native side holds it strongly while
// anything it started runs, and an emitter that runs nothing and that nobody references is
// collected (and leaves the endpoint).
function forwarder(weak) {
  return (kind, subject, value, text) => {
    const core = weak.deref();
    if (core) core._onEndpoint(kind, subject, value, text);
  };
}

// An "error" event for its listeners; without one, a process warning (an unheard "error" would
// end the whole process over one source or file).
function report(emitter, error) {
  if (emitter.listenerCount('error') > 0) emitter.emit('error', error);
  else process.emitWarning(error.message, 'StreamCoreWarning');
}

// The last path segment of a url: the stream name results carry.
function streamName(url) {
  const cut = url.lastIndexOf('/');
  return cut === -1 ? url : url.slice(cut + 1);
}

// A handle on something the endpoint runs. stop() ends it once (later calls answer as the
// first did) and throws once the StreamCore is closed; each kind says how it ends in
// _end(native), whose answer stop() returns.
class Handle extends EventEmitter {
  constructor(core) {
    super();
    this._core = core;
    this._stopped = false;
    this._ended = undefined;
  }

  stop() {
    const native = this._core._native('stop');
    if (this._stopped) return this._ended;
    this._stopped = true;
    this._ended = this._end(native);
    return this._ended;
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
    this._core._sources.delete(this.name);
  }
}

class Publication extends Handle {
  constructor(core, url) {
    super(core);
    this.url = url;
    this._settled = false;
    this.connected = new Promise((resolve, reject) => {
      this._resolve = () => { this._settled = true; resolve(); };
      this._reject = (e) => { this._settled = true; reject(e); };
    });
    // A rejection on close() is no uncaught error for a script that never awaited it.
    this.connected.catch(() => {});
  }

  pause() { this._core._native('pause').pausePublish(this.url); }
  resume() { this._core._native('resume').resumePublish(this.url); }
  forceKeyFrame() { this._core._native('forceKeyFrame').forceKeyFrame(this.url); }

  _end(native) {
    native.stopPublish(this.url);
    this._core._publications.delete(this.url);
  }
}

class Recording extends Handle {
  constructor(core, file, id) {
    super(core);
    this.file = file;
    this._id = id;
  }

  _end(native) {
    this._core._recordings.delete(this._id);
    return native.stopRecord(this._id);
  }
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
    this._core._playbacks.delete(this.url);
  }
}

class StreamCore extends EventEmitter {
  constructor(opts) {
    super();
    const o = options('new StreamCore', opts);
    const log = o.log === undefined ? false : bool('new StreamCore', 'options.log', o.log);
    this._core = new NativeStreamCore(log, forwarder(new WeakRef(this)), this);
    // What runs, by the key the endpoint's events name it by.
    this._sources = new Map();       // uniName -> Source
    this._publications = new Map();  // url -> Publication
    this._recordings = new Map();    // record id -> Recording
    this._playbacks = new Map();     // url -> Playback
  }

  _native() {
    if (!this._core) throw new Error('StreamCore is closed');
    return this._core;
  }

  // An event of the endpoint about something this object runs (see NativeStreamCore.h).
  _onEndpoint(kind, subject, value, text) {
    if (!this._core) return;
    if (kind === 'publish' || kind === 'play') {
      const output = (kind === 'play' ? this._playbacks : this._publications).get(subject);
      if (!output) return;
      if (kind === 'publish' && value === 0) output._resolve();
      this.emit(kind, { url: subject, stream: streamName(subject), result: value });
    } else if (kind === 'bitrate') {
      if (this._publications.has(subject)) this.emit('bitrate', { url: subject, kbps: value });
    } else if (kind === 'sourceEnded') {
      const source = this._sources.get(subject);
      if (!source) return;
      const error = new Error(`source ${subject} ended: ${text || 'it went away'}`);
      error.source = source;
      report(this, error);
    } else if (kind === 'recordFailed') {
      const recording = this._recordings.get(value);
      if (!recording) return;
      const error = new Error(`recording ${subject} failed: ${text || 'a write failed'}`);
      error.file = subject;
      report(recording, error);
    }
  }

  close() {
    const core = this._native();
    this._core = null;
    core.close();
    const closed = new Error('StreamCore is closed');
    for (const publication of this._publications.values()) {
      if (!publication._settled) publication._reject(closed);
    }
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
    return this._track(new Source(this, 'window', native.captureWindow(window, width, height, fps, kbps, cursor)));
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
    return this._track(new Source(this, 'camera', native.openCamera(id, width, height, fps, preview)));
  }

  _track(source) {
    this._sources.set(source.name, source);
    return source;
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
    native.publish(url, video, mix, MODES[mode]);
    // Results reach this thread through its event loop, never within the call.
    const publication = new Publication(this, url);
    this._publications.set(url, publication);
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
    const recording = new Recording(this, file, native.record(file, video, mix));
    this._recordings.set(recording._id, recording);
    return recording;
  }

  play(url, opts) {
    const native = this._native();
    const m = 'play';
    text(m, 'url', url);
    const o = options(m, opts);
    const window = o.window === undefined ? 0 : windowId(m, 'options.window', o.window);
    native.play(url, window);
    const playback = new Playback(this, url);
    this._playbacks.set(url, playback);
    return playback;
  }
}

module.exports = {};
for (const name of Object.keys(native)) module.exports[name] = native[name];
module.exports.StreamCore = StreamCore;
