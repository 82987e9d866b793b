'use strict';
// Counts what an FLV byte stream carries, fed in pieces as they arrive (a file the server is
// still writing, or the output of a reader of the live stream). Tag bodies are passed over,
// never buffered: at most one tag header is held between pieces.

const FLV_HEADER_SIZE = 9;
const TAG_HEADER_SIZE = 11;
const PREVIOUS_TAG_SIZE = 4;
const TAG_AUDIO = 8;
const TAG_VIDEO = 9;
const TAG_SCRIPT = 18;
const CODEC_AVC = 7;
const FRAME_KEY = 1;
const FRAME_INFO = 5;

class FlvCounter {
  constructor() {
    this.videoFrames = 0;    // video tags holding a picture
    this.keyFrames = 0;
    this.audioFrames = 0;    // audio tags, the AAC sequence header included
    this.mediaBytes = 0;     // bodies of the audio and video tags
    this.lastTimestampMs = 0;
    this.malformed = false;  // set once the bytes stop looking like FLV; counting ends there
    this._held = Buffer.alloc(0);
    this._state = 'file';    // 'file' | 'tag' | 'video'
    this._need = FLV_HEADER_SIZE;
    this._skip = 0;          // bytes still to pass over before the next header
    this._rest = 0;          // what follows the video head of the current tag
  }

  push(chunk) {
    let at = 0;
    while (at < chunk.length && !this.malformed) {
      if (this._skip > 0) {
        const n = Math.min(this._skip, chunk.length - at);
        this._skip -= n;
        at += n;
        continue;
      }
      const take = Math.min(this._need - this._held.length, chunk.length - at);
      this._held = Buffer.concat([this._held, chunk.subarray(at, at + take)]);
      at += take;
      if (this._held.length < this._need) return;
      const head = this._held;
      this._held = Buffer.alloc(0);
      if (this._state === 'file') this._fileHeader(head);
      else if (this._state === 'tag') this._tagHeader(head);
      else this._videoHead(head);
    }
  }

  _fileHeader(head) {
    const dataOffset = head.readUInt32BE(5);
    if (head.toString('latin1', 0, 3) !== 'FLV' || dataOffset < FLV_HEADER_SIZE) {
      this.malformed = true;
      return;
    }
    this._skip = dataOffset - FLV_HEADER_SIZE + PREVIOUS_TAG_SIZE;
    this._expectTag();
  }

  _tagHeader(head) {
    const type = head[0] & 0x1f;
    const size = head.readUIntBE(1, 3);
    if (type !== TAG_AUDIO && type !== TAG_VIDEO && type !== TAG_SCRIPT) {
      this.malformed = true;
      return;
    }
    if (type !== TAG_SCRIPT) {
      this.mediaBytes += size;
      this.lastTimestampMs = (head.readUIntBE(4, 3) | (head[7] << 24)) >>> 0;
    }
    if (type === TAG_AUDIO) this.audioFrames++;
    if (type === TAG_VIDEO && size >= 2) {
      this._state = 'video';
      this._need = 2;
      this._rest = size - 2 + PREVIOUS_TAG_SIZE;
      return;
    }
    this._skip = size + PREVIOUS_TAG_SIZE;
    this._expectTag();
  }

  _videoHead(head) {
    const frameType = head[0] >> 4;
    // AVC packet type 0 is the sequence header and 2 the end of sequence: neither is a picture.
    const avcControl = (head[0] & 0x0f) === CODEC_AVC && head[1] !== 1;
    if (!avcControl && frameType !== FRAME_INFO) {
      this.videoFrames++;
      if (frameType === FRAME_KEY) this.keyFrames++;
    }
    this._skip = this._rest;
    this._expectTag();
  }

  _expectTag() {
    this._state = 'tag';
    this._need = TAG_HEADER_SIZE;
  }
}

module.exports = { FlvCounter };
