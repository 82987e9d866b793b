// The script API of streamAddon.node.
//
// Every function runs on the script thread. Argument errors and "live media is null" (any
// endpoint function before a successful initialize) are thrown as TypeError with the texts
// given below, checked in the order listed; endpoint failures are results, not exceptions.
// Numbers are converted to signed 32-bit integers (modulo 2^32, NaN as 0).

/**
 * One line of JSON followed by "\n", members in ascending key order, no spaces:
 * `{"eventid":6001,"result":0,"rtmpurl":"name"}\n` for publish (6001) and play (6002) results,
 * where result 0 is connected and -1 failed or lost, and rtmpurl is the stream name (the last
 * path segment of the RTMP URL, escaped as a JSON string); `{"eventid":N,"result":R}\n` for any
 * other endpoint event. The run callback also receives the two plain texts "Initialize finish"
 * and "Uninitialize finish".
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

/** Stops the recording (its capture too, unless publishing uses it); true when nothing was recording. Throws "live media is null". */
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
