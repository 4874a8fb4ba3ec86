// A Modbus-RTU holding-register server for KVX Sendrel's --script:
//   sendrel --headless --tcp --port 1502 --script modbus_server.js
// Unit 1, registers 0 to 99; register N starts at N, so a read shows which ones it read.
// Read holding registers (3), write one (6) and write several (16); any other function is
// answered with exception 1, an address past the last register with exception 2. A frame whose
// CRC is wrong is dropped, as a serial line's noise would be.

const unit = 1;
const registers = [];
for (let i = 0; i < 100; i++) registers.push(i);
let pending = [];

function withCrc(frame) {
    const crc = crc16modbus(frame);
    return frame.concat([crc & 0xff, crc >> 8]);
}

function word(frame, at) {
    return (frame[at] << 8) | frame[at + 1];
}

// The length of the request at the start of `bytes`, once its header is in; 0 before.
function requestLength(bytes) {
    if (bytes.length < 2) return 0;
    if (bytes[1] === 16) return bytes.length < 7 ? 0 : 9 + bytes[6];
    return 8;
}

function answer(request) {
    const fn = request[1];
    const first = word(request, 2);
    const exception = code => withCrc([unit, fn | 0x80, code]);
    if (fn === 3) {
        const count = word(request, 4);
        if (count < 1 || count > 125 || first + count > registers.length) return exception(2);
        const reply = [unit, fn, count * 2];
        for (let i = first; i < first + count; i++) reply.push(registers[i] >> 8, registers[i] & 0xff);
        return withCrc(reply);
    }
    if (fn === 6) {
        if (first >= registers.length) return exception(2);
        registers[first] = word(request, 4);
        return withCrc(request.slice(0, 6));
    }
    if (fn === 16) {
        const count = word(request, 4);
        if (count < 1 || first + count > registers.length || request[6] !== count * 2)
            return exception(2);
        for (let i = 0; i < count; i++) registers[first + i] = word(request, 7 + 2 * i);
        return withCrc(request.slice(0, 6));
    }
    return exception(1);
}

function onReceive(link, data) {
    for (let i = 0; i < data.length; i++) pending.push(data[i]);
    for (let size = requestLength(pending); size && pending.length >= size;
         size = requestLength(pending)) {
        const request = pending.slice(0, size);
        pending = pending.slice(size);
        const crc = crc16modbus(request.slice(0, size - 2));
        if (request[size - 2] !== (crc & 0xff) || request[size - 1] !== crc >> 8) {
            log('dropped a frame with a wrong CRC: ' + hex(request));
            pending = [];
            break;
        }
        if (request[0] === unit) link.send(answer(request));
    }
    return 'handled';
}

function onClose(link) {
    pending = [];
}
