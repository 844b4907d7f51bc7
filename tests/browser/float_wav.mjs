// The header of a stereo 32-bit float WAV file, for the inputs and takes the flows and benches
// make. With fact: the fact chunk float WAVs carry (which also leaves the daemon room to rewrite
// a take's header as its own).
export function floatWavHeader(frames, rateHz, { fact = false } = {}) {
  const dataBytes = frames * 8;
  const header = Buffer.alloc(fact ? 56 : 44);
  header.write('RIFF', 0);
  header.writeUInt32LE(header.length - 8 + dataBytes, 4);
  header.write('WAVEfmt ', 8);
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(3, 20); // IEEE float
  header.writeUInt16LE(2, 22);
  header.writeUInt32LE(rateHz, 24);
  header.writeUInt32LE(rateHz * 8, 28);
  header.writeUInt16LE(8, 32);
  header.writeUInt16LE(32, 34);
  let at = 36;
  if (fact) {
    header.write('fact', at);
    header.writeUInt32LE(4, at + 4);
    header.writeUInt32LE(frames, at + 8);
    at += 12;
  }
  header.write('data', at);
  header.writeUInt32LE(dataBytes, at + 4);
  return header;
}
