// The control API as its usual node client sees it: a proxy made, toxics added and removed while
// a flood runs through it, populate and reset. Run by run_client.sh with the API's URL.
'use strict';
const assert = require('node:assert/strict');
const net = require('node:net');
const { Toxiproxy } = require('toxiproxy-node-client');

const api = process.argv[2];
const toxiproxy = new Toxiproxy(api);
const Pattern = 251; // no power of two, so a lost or doubled chunk shows

function listening(server) {
    return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server.address().port)));
}

// Writes the pattern until told to stop, checking every byte that comes back; resolves with the
// count once all sent came back.
function flood(port) {
    const client = net.connect(port, '127.0.0.1');
    let sent = 0;
    let received = 0;
    let stopping = false;
    const chunk = Buffer.alloc(64 * 1024);
    const write = () => {
        while (!stopping) {
            for (let i = 0; i < chunk.length; ++i)
                chunk[i] = (sent + i) % Pattern;
            sent += chunk.length;
            if (!client.write(chunk))
                return;
        }
    };
    let finish = null;
    const done = new Promise((resolve, reject) => {
        finish = () => {
            if (stopping && received === sent) {
                client.end();
                resolve(received);
            }
        };
        client.on('error', reject);
        client.on('data', (data) => {
            for (let i = 0; i < data.length; ++i) {
                if (data[i] !== (received + i) % Pattern)
                    reject(new Error(`byte ${received + i} came back changed`));
            }
            received += data.length;
            finish();
        });
    });
    client.on('connect', write);
    client.on('drain', write);
    return {
        stop: () => {
            stopping = true;
            finish();
            return done;
        },
        received: () => received,
    };
}

async function raw(method, path) {
    const answer = await fetch(api + path, { method });
    return { status: answer.status, body: answer.status === 204 ? null : await answer.json() };
}

async function toxicsWhileFlooding(proxy) {
    const running = flood(Number(proxy.listen.split(':').pop()));
    for (let i = 0; i < 20; ++i) {
        const body = { name: `lag${i}`, type: 'latency', stream: i % 2 ? 'upstream' : 'downstream',
            toxicity: 0.5, attributes: { latency: 1, jitter: 0 } };
        const toxic = await proxy.addToxic(body);
        assert.deepEqual(toxic.toJson(), body);
        const rate = await proxy.addToxic({ type: 'bandwidth', attributes: { rate: 1000000 } });
        assert.equal(rate.name, 'bandwidth_downstream');
        assert.equal(rate.toxicity, 1);
        const updated = await toxic.update({ ...body, attributes: { latency: 2, jitter: 1 } });
        assert.deepEqual(updated.attributes, { latency: 2, jitter: 1 });
        assert.equal((await proxy.getToxic(`lag${i}`)).stream, body.stream);
        await toxic.remove();
        await rate.remove();
        assert.deepEqual((await raw('GET', `/proxies/${proxy.name}/toxics`)).body, []);
    }
    while (running.received() === 0)
        await new Promise((resolve) => setTimeout(resolve, 10));
    const received = await running.stop();
    assert.ok(received > 0);
}

async function populateAndReset(upstream, flooded) {
    const made = await toxiproxy.populate([
        { name: 'extra', listen: '127.0.0.1:0', upstream },
        { name: flooded.name, listen: flooded.listen, upstream },
    ]);
    assert.deepEqual(Object.keys(made).sort(), ['extra', flooded.name]);
    assert.equal(made[flooded.name].listen, flooded.listen);
    await made.extra.addToxic({ type: 'slicer', attributes: { average_size: 100, size_variation: 10, delay: 5 } });
    const off = await made.extra.update({ enabled: false, listen: made.extra.listen, upstream });
    assert.equal(off.enabled, false);
    await toxiproxy.reset();
    const all = await toxiproxy.getAll();
    assert.deepEqual(Object.keys(all).sort(), ['extra', flooded.name]);
    for (const proxy of Object.values(all))
        assert.equal(proxy.enabled, true);
    assert.deepEqual((await raw('GET', '/proxies/extra')).body.toxics, []);
    // Relays again once enabled.
    const running = flood(Number(all.extra.listen.split(':').pop()));
    while (running.received() === 0)
        await new Promise((resolve) => setTimeout(resolve, 10));
    await running.stop();
}

async function refusals(upstream) {
    await assert.rejects(toxiproxy.createProxy({ name: 'extra', listen: '127.0.0.1:0', upstream }),
        /status code 409/);
    const missing = await raw('GET', '/proxies/nosuch');
    assert.deepEqual(missing, { status: 404, body: { error: 'proxy nosuch not found', status: 404 } });
    await (await toxiproxy.get('extra')).remove();
    await assert.rejects(toxiproxy.get('extra'), /status code 404/);
}

async function main() {
    const echo = net.createServer((socket) => socket.pipe(socket));
    const upstream = `127.0.0.1:${await listening(echo)}`;
    assert.ok((await toxiproxy.getVersion()).length > 0);
    const proxy = await toxiproxy.createProxy({ name: 'flood', listen: 'localhost:0', upstream });
    assert.equal(proxy.enabled, true);
    assert.match(proxy.listen, /^127\.0\.0\.1:[1-9][0-9]*$/);
    await toxicsWhileFlooding(proxy);
    await populateAndReset(upstream, proxy);
    await refusals(upstream);
    echo.close();
}

main().then(() => process.exit(0), (error) => {
    console.error(error);
    process.exit(1);
});
