// The script API of streamAddon.node.
//
// Every function runs on the script thread. Argument errors and "live media is null" (any
// endpoint function before a successful initialize) are thrown as TypeError with the texts
// given below, checked in the order listed; endpoint failures are results, not exceptions.
// Numbers are converted to signed 32-bit integers (modulo 2^32, NaN as 0).

import { EventEmitter } from 'events';

/**
 * One line of JSON followed by "\n", members in ascending key order, no spaces:
 * `{"eventid":6001,"result":0,"rtmpurl":"name"}\n` for publish (6001) and play (6002) results,
 * where result 0 is connected and -1 failed or lost, and rtmpurl is the stream name (the last
 * path segment of the RTMP URL, escaped as a JSON string);
 * `{"eventid":6005,"file":"/path/x.mp4","reason":"the file could not be written (No space left on device)","result":-1}\n`
 * when the recording ended on a failed write (its file keeps what was written; stopRecordApp
 * then answers false);
 * `{"eventid":6004,"reason":"...","result":-1,"source":"#app#..."}\n` when the captured window
 * (or the display) went away; `{"eventid":N,"result":R}\n` for any other endpoint event.
 * Only what this environment's functions started is reported here: what StreamCore objects
 * (or other worker threads) run never reaches this queue. The run callback also receives the
 * two plain texts "Initialize finish" and "Uninitialize finish".
 */
export type EventText = string;

/**
 * Result codes of startRecordApp and publishStream:
 * 0 started, or already recording / publishing (nothing started);
 * 6001 the window capture could not be started (no such window, bad size, bitrate or rate);
 * 6002 the recording could not be started (for example an unwritable path, or a file name
 * whose extension is not .mp4, .flv or .mkv);
 * 5002 the publication could not be started.
 */
export type FlowResult = 0 | 6001 | 6002 | 5002;

/**
 * Creates and initializes the endpoint. enableLog switches the endpoint's log files on (folder
 * "log" under the folder of the running executable). Returns 1 when initialized, else 0 (a
 * failed start can be retried); a second call while initialized only reopens the default
 * speaker and returns 1. Then calls the run callback with "Initialize finish".
 * Creating the endpoint makes the folder of the running executable the process's current
 * directory (process.cwd() in Node.js keeps showing the old one): give absolute file names.
 * Throws "Wrong number of arguments" (no argument), "Wrong arguments" (not a boolean).
 */
export function initialize(enableLog: boolean): number;

/**
 * Stops recording and publishing (every capture of this module), ends and destroys the
 * endpoint, then calls the run callback with "Uninitialize finish". Events already queued are
 * still delivered by onTimer; later ones are not queued.
 */
export function uninitialize(): void;

/**
 * Holds callback as the run callback, replacing the one held before; it is called with one
 * EventText and null as its receiver, and its result is ignored. No argument or a value that
 * is not a function holds nothing callable: texts due meanwhile are dropped.
 */
export function setRunCallback(callback?: ((text: EventText) => void) | null): void;

/**
 * Returns the number of event texts queued at the moment of the call; when it is not 0, the
 * oldest is removed and passed to the run callback (receiver null). At most one per call.
 */
export function onTimer(): number;

/** Number of microphones. Throws "live media is null". */
export function getMicphoneCount(): number;

/**
 * Display name of microphone index (from 0), or "error" when there is no such microphone.
 * Throws "Wrong number of arguments", "Wrong arguments" (not a number), "live media is null".
 */
export function getMicphoneNames(index: number): string;

/** Opens microphone index (from 0); false when there is none or it cannot be opened. Throws as getMicphoneNames. */
export function openMic(index: number): boolean;

/** Closes the open microphone. Throws "live media is null". */
export function closeMic(): boolean;

/** JSON text of the windows that may be shared (ids are X11 window ids). Throws "live media is null". */
export function enumWindowList(): string;

/**
 * Records window to fileName (UTF-8 path, at most 255 bytes), mixed with the sound card and
 * microphone.
 * @param window X11 window id; 0 is the whole desktop (the root window)
 * @param width frame width of the recording (size a)
 * @param height frame height (size b)
 * @param kbps video bitrate in kbit/s (size c)
 * @param flag kept for callers that pass it; it chooses no track: the recording always carries
 *   the sound mix (AAC 16 kHz mono) beside the video, whatever flag says
 * @param rate frames per second; 11 to 50 are used as given, anything else becomes 30
 * @returns a FlowResult: 0, 6001 or 6002
 * Throws, in this order: "live media is null"; "Wrong number of arguments" (fewer than 7);
 * "Wrong arguments" (fileName not a string, window not a number); "Wrong arguments width or
 * height" (width, height, kbps or rate not a number); "Wrong arguments bool" (flag not a
 * boolean); "Wrong arguments file name" (empty); "Wrong arguments file name too long" (more
 * than 255 bytes); "Wrong arguments file name holds a NUL byte".
 */
export function startRecordApp(fileName: string, window: number, width: number, height: number, kbps: number,
                               flag: boolean, rate: number): FlowResult;

/**
 * Stops the recording (its capture too, unless publishing uses it); true when nothing was
 * recording or the file was finished, false when the recording failed (a 6005 event text said
 * why) or its file could not be finished. Throws "live media is null".
 */
export function stopRecordApp(): boolean;

/**
 * Publishes window to the RTMP url (one byte per character, the low byte of each; at most 255),
 * mixed with the sound card and microphone. The result arrives later as a 6001 event text.
 * @param window X11 window id; 0 is the whole desktop (the root window)
 * @param width frame width (size a)
 * @param height frame height (size b)
 * @param kbps video bitrate in kbit/s (size c)
 * @param mode "record" (1), "append" (2), any other value live (0); converted with String()
 * @param rate frames per second; 10 to 51 are used as given, anything else becomes 30
 * @returns a FlowResult: 0, 6001 or 5002
 * Throws, in this order: "live media is null"; "Wrong number of arguments" (fewer than 5);
 * "Wrong arguments" (window not a number, url not a string); "Wrong arguments width or height"
 * (width, height, kbps or rate not a number, a missing rate included); "Wrong arguments stream
 * url" (empty); "Wrong arguments stream url too long" / "... holds a NUL byte"; "Wrong arguments
 * mode too long" / "... holds a NUL byte".
 * A capture is shared with the recording when both ask for the same window, size, bitrate and
 * rate; each capture stops when its last user stops.
 */
export function publishStream(window: number, url: string, width: number, height: number, kbps: number,
                              mode: string, rate: number): FlowResult;

/** Stops the publication (its capture too, unless recording uses it); always true. Throws "live media is null". */
export function stopPublishStream(): boolean;

/**
 * Asks the encoders of the publication at url for a key frame.
 * Throws "live media is null", "Wrong number of arguments", "Wrong arguments" (not a string),
 * "Wrong arguments stream url" (empty), "... too long", "... holds a NUL byte".
 */
export function forceKeyFrame(url: string): boolean;

// ---------------------------------------------------------------------------------------------
// The class StreamCore: the whole endpoint from script, with results pushed as events.
//
// The process has one endpoint, shared by the fourteen functions above and every StreamCore:
// whichever is used first starts it, and it ends when neither uses it any more (uninitialize
// leaves it running for open StreamCore objects, and closing the last StreamCore leaves it
// running while the functions are initialized). Each worker thread that loads the module has
// functions and objects of its own; its end stops only what they started. Call each object's
// methods on the thread that made it.
// Wrong arguments throw a TypeError naming the method, the argument and what it must be
// ("publish: options.mode must be ..."); endpoint failures throw an Error with the reason when
// one is known; after close() every member throws Error("StreamCore is closed").
// Window ids are X11 window ids; 0 stands for the whole desktop where a window is captured.


/** A microphone or speaker. */
export interface AudioDevice {
  /** The id the open calls take (the sound server's device name). */
  id: string;
  /** The display name. */
  name: string;
}

/** One capture format a camera offers. */
export interface CameraFormat {
  width: number;
  height: number;
  /** Highest frame rate of the format. */
  fps: number;
  /** "I420", "YUY2", "UYVY", "IYUV", "RGB24", "RGB565", "MJPG" or "unknown". */
  format: string;
}

export interface Camera {
  /** The id openCamera takes. */
  id: string;
  name: string;
  formats: CameraFormat[];
}

/** One shareable window, as the window list writes it; the desktop comes first. */
export interface WindowEntry {
  /** The window id (unsigned); the desktop entry names the root window. */
  hWnd: number;
  /** The title (UTF-8); "desktop" for the desktop entry. */
  windowName: string;
  /** Path of the owning program, "unknown" when it cannot be found. */
  filePath: string;
}

/**
 * A publish or play result: 0 connected, -1 failed or lost (a failed connection is retried).
 * It reaches only the publication or playback of exactly this url.
 */
export interface StreamResult {
  /** The url given to publish or play. */
  url: string;
  /** The stream name: the url's last path segment. */
  stream: string;
  result: 0 | -1;
}

/**
 * The video bitrate a publication runs at now. On an uplink narrower than the stream the
 * endpoint lowers the encoder's bitrate to what the link carries and raises it again, in steps,
 * up to the asked bitrate once the link keeps up. A source published to several urls follows
 * the narrowest of them.
 */
export interface BitrateChange {
  /** The url given to publish. */
  url: string;
  /** Video bitrate in kbit/s. */
  kbps: number;
}

/**
 * The "error" event of a StreamCore: a source ended by itself (its window closed, the display
 * went away). The source stays listed until stopped; what other sources feed goes on.
 */
export interface SourceError extends Error {
  /** "source NAME ended: why". */
  message: string;
  /** The source that ended. */
  source: Source;
}

/** The "error" event of a Recording: a write failed, and the recording ended there. */
export interface RecordingError extends Error {
  /** "recording FILE failed: why" (for example "the file could not be written (No space left on device)"). */
  message: string;
  /** The file, as the endpoint wrote it (a relative name taken against the load folder). */
  file: string;
}

/** A local video source: a captured window or an open camera. */
export interface Source {
  /** The engine's name of the source (its uniName). */
  readonly name: string;
  /** Stops the capture or closes the camera (and its preview). Calling it again does nothing. */
  stop(): void;
}

export interface Publication {
  readonly url: string;
  /**
   * Resolves on the first successful connection. Failures arrive as "publish" events with
   * result -1 while the connection is retried; it rejects with Error("StreamCore is closed")
   * when the object is closed before a connection stood.
   */
  readonly connected: Promise<void>;
  /** Pauses the video source's encoder (every output of that source pauses); throws without video. */
  pause(): void;
  /** Resumes the video source's encoder, starting with a key frame. */
  resume(): void;
  /** The next video frame is a key frame; throws when the video is not encoding. */
  forceKeyFrame(): void;
  /** Stops publishing (the source keeps running). Calling it again does nothing. */
  stop(): void;
}

export interface Recording extends EventEmitter {
  /** The file as given (a relative name is taken against the folder the module was loaded in). */
  readonly file: string;
  /**
   * Closes the file: true when it was finished, false when the recording failed (an "error"
   * event said why; the file keeps what was written before and plays) or the file could not be
   * finished. Calling it again answers the same and does nothing.
   */
  stop(): boolean;
  /**
   * A failed write ended the recording. Emitted to listeners only: without one the message goes
   * to process.emitWarning rather than ending the process.
   */
  on(event: 'error', listener: (error: RecordingError) => void): this;
  once(event: 'error', listener: (error: RecordingError) => void): this;
  off(event: 'error', listener: (error: RecordingError) => void): this;
}

export interface Playback {
  readonly url: string;
  /** Shows the video in another window from the next picture on. */
  moveTo(window: number): void;
  /** Stops playing. Calling it again does nothing. */
  stop(): void;
}

export interface StreamCoreOptions {
  /** Log files of the endpoint (folder "log" under the running executable's folder); default false. */
  log?: boolean;
}

export interface CaptureOptions {
  /** Output size, 16 to 4096 (the picture is scaled into it keeping its aspect); default 640x480. */
  width?: number;
  height?: number;
  /** Frames per second, 1 to 60; default 15. */
  fps?: number;
  /** Video bitrate in kbit/s, 1 to 100000; default 800. */
  kbps?: number;
  /** Draw the mouse pointer into the frames; default false. */
  cursor?: boolean;
}

export interface CameraOptions {
  /** The wanted size, 16 to 4096 (the camera's nearest format is scaled to it); default 640x480. */
  width?: number;
  height?: number;
  /** Frames per second, 1 to 60; default 15. */
  fps?: number;
  /** A native window that shows the camera; none by default. */
  preview?: number | null;
}

export interface PublishOptions {
  /** The video, or null for sound only. */
  video?: Source | null;
  /** "mix": the sound card and microphone mix (AAC 16 kHz mono); null for no sound. */
  audio?: 'mix' | null;
  /** Publish type on the server; default "live". "append" needs a video source. */
  mode?: 'live' | 'record' | 'append';
}

export interface RecordOptions {
  /** The video (required). */
  video: Source;
  /** "mix": the sound card and microphone mix; null for a video-only file. */
  audio?: 'mix' | null;
}

export interface PlayOptions {
  /** The window the video is drawn into; 0 (the default) shows no video. */
  window?: number;
}

export declare class StreamCore extends EventEmitter {
  /**
   * Starts using the process's endpoint (starting it when nobody uses it yet).
   * Throws Error with the endpoint's reason when it cannot be started.
   */
  constructor(options?: StreamCoreOptions);

  /**
   * Stops everything this object started (recordings, publications, playbacks, thumbnails,
   * captures, cameras, device tests; the sound mixer when nobody else uses it) and releases the
   * endpoint; connected promises still pending reject with Error("StreamCore is closed"). The
   * end of its thread (the process's exit, a worker's end) does the same. While anything it
   * started runs, the object is not collected, whether or not the script still references it;
   * an object that runs nothing releases the endpoint when collected.
   */
  close(): void;

  on(event: 'publish' | 'play', listener: (result: StreamResult) => void): this;
  once(event: 'publish' | 'play', listener: (result: StreamResult) => void): this;
  off(event: 'publish' | 'play', listener: (result: StreamResult) => void): this;
  on(event: 'bitrate', listener: (change: BitrateChange) => void): this;
  once(event: 'bitrate', listener: (change: BitrateChange) => void): this;
  off(event: 'bitrate', listener: (change: BitrateChange) => void): this;
  /**
   * A source of this object ended by itself. Emitted to listeners only: without one the message
   * goes to process.emitWarning rather than ending the process.
   */
  on(event: 'error', listener: (error: SourceError) => void): this;
  once(event: 'error', listener: (error: SourceError) => void): this;
  off(event: 'error', listener: (error: SourceError) => void): this;

  microphones(): AudioDevice[];
  speakers(): AudioDevice[];
  cameras(): Camera[];
  /** The microphone the mixer, the tests and the volume and mute members use; "" is the default. Throws for an unknown id. */
  openMicrophone(id: string): void;
  /** The mixer stops mixing the microphone in; volume and mute go to the default one again. */
  closeMicrophone(): void;
  /** The speaker for the speaker volume and test; "" is the default. Throws for an unknown id. */
  openSpeaker(id: string): void;
  /** 0 to 100 (-1 read back when there is no device). */
  microphoneVolume: number;
  speakerVolume: number;
  microphoneMuted: boolean;
  /** Automatic gain on the microphone path of the mixer (write only). */
  set autoGain(on: boolean);
  /** Measures the open (else the default) microphone's peak level. */
  startMicrophoneTest(): void;
  /** 0 to 100: the highest peak of the last 150 ms; 0 when no test runs. */
  microphoneLevel(): number;
  stopMicrophoneTest(): void;
  /** Plays the file's first audio stream once to the open (else the default) speaker. Throws for a missing or undecodable file. */
  startSpeakerTest(file: string): void;
  /** 0 to 100: the peak of the sound handed to the speaker last. */
  speakerLevel(): number;
  stopSpeakerTest(): void;

  /** The windows a user may share, topmost first after the desktop entry. */
  windows(): WindowEntry[];
  /** Shows a live copy of sourceWindow in targetWindow (scaled to fit); returns its handle. */
  showThumbnail(sourceWindow: number, targetWindow: number): number;
  removeThumbnail(handle: number): void;
  /** Un-minimises and raises the window. */
  bringToTop(window: number): void;

  /** Captures a window (0: the desktop), encoding it at once. */
  captureWindow(window: number, options?: CaptureOptions): Source;
  /** Opens a camera by id (from cameras()); it is encoded while an output takes it. */
  openCamera(id: string, options?: CameraOptions): Source;

  /** Publishes to an RTMP url; throws when the url is published already in this process. */
  publish(url: string, options: PublishOptions): Publication;
  /** Records to a file (.mp4, .flv or .mkv); throws Error when it cannot be opened. */
  record(file: string, options: RecordOptions): Recording;
  /** Plays an RTMP stream into a window; its sound goes to the open speaker. */
  play(url: string, options?: PlayOptions): Playback;
}
