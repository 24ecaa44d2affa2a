// An Ember+ consumer we did not write, node-emberplus's EmberClient, against `rv390pkta-cli serve
// --ember`: it reads the whole tree, routes an output of one unit and sets a level of the other, then
// waits for what the test does to the units and says, a JSON line each, what it has seen.
'use strict';
const path = require('path');
const { EmberClient } = require(path.join(process.env.EMBER_CONSUMER_MODULES, 'node-emberplus'));

const [host, port, first, second] = process.argv.slice(2);
const say = (o) => process.stdout.write(JSON.stringify(o) + '\n');

// Every element by its identifiers' path: parameters by value, nodes by whether they are online,
// matrices by their crosspoints.
function flatten(node, prefix, into) {
    for (const child of node.getChildren() || []) {
        const c = child.contents || {};
        const name = prefix + c.identifier;
        if (child.isParameter())
            into[name] = c.value;
        else if (child.isMatrix())
            into[name] = Object.fromEntries(
                Object.values(child.connections || {}).map((k) => [k.target, k.sources || []]));
        else
            into[name] = c.isOnline === undefined ? true : c.isOnline;
        flatten(child, name + '/', into);
    }
    return into;
}

// Resolves when `test` holds for the element at `where` (an identifiers' path), as changes come.
function until(client, where, test) {
    return new Promise((resolve) => {
        const look = () => {
            const seen = flatten(client.root, '', {})[where];
            if (test(seen)) {
                client.removeListener('value-change', look);
                resolve(seen);
            }
        };
        client.on('value-change', look);
        look();
    });
}

(async () => {
    const client = new EmberClient({ host, port: Number(port), timeoutValue: 10000 });
    client.on('error', (e) => say({ step: 'error', message: String(e) }));
    await client.connectAsync();
    await client.expandAsync();
    say({ step: 'tree', tree: flatten(client.root, '', {}) });

    const routing = await client.getElementByPathAsync(`RV-390PKTA/${first}/routing`);
    await client.matrixConnectAsync(routing, 2, [8]);
    const headroom = await client.getElementByPathAsync(`RV-390PKTA/${second}/headroom`);
    await client.setValueAsync(headroom, 7);
    say({ step: 'written' });

    say({ step: 'seen', value: await until(client, `RV-390PKTA/${first}/headroom`, (v) => v === 21) });
    await until(client, `RV-390PKTA/${second}`, (v) => v === false);
    say({ step: 'offline' });
    await until(client, `RV-390PKTA/${second}`, (v) => v === true);
    say({ step: 'online' });
    await client.disconnectAsync();
    process.exit(0);
})().catch((e) => {
    say({ step: 'error', message: String(e && e.stack ? e.stack : e) });
    process.exit(1);
});
