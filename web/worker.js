// The page's conversions, off its thread. The page embeds this after the
// core and JSZip, and starts the three as one worker from a Blob. Each file
// is written in memory to a folder of its own under its own name, and run
// through the converter as `quorvel NAME` is: one run a file, as the page
// converts each file it is given on its own.
'use strict';

const ready = createQuorvel();
const unknown = 'Not converted: neither a ColorRIX (by its content) nor a file named .bmp.';
let queue = Promise.resolve();  // batches in the order given, never two at once

// Indices in bands of about 1 MiB, so that the core holds one band, not the picture twice.
function rgbaOf(core, call, { width, height, palette }) {
    const rgba = new Uint8ClampedArray(width * height * 4);
    const pixels = new Uint32Array(rgba.buffer);
    const colours = Uint32Array.from({ length: 256 }, (_, i) =>
        (0xff000000 | (palette[3 * i + 2] << 16) | (palette[3 * i + 1] << 8) | palette[3 * i]) >>> 0);
    const band = Math.max(1, Math.floor((1 << 20) / Math.max(1, width)));
    for (let first = 0; first < height && width; first += band) {
        const count = Math.min(band, height - first);
        const at = call('quorvel_rows', first, count);
        if (!at) return null;
        const indices = core.HEAPU8.subarray(at, at + width * count);
        for (let i = 0; i < indices.length; ++i) pixels[first * width + i] = colours[indices[i]];
    }
    return rgba;
}

// A ColorRIX under a name of the paint program's (.SCI, .VMG ...) or any
// other is taken as the program takes its .rix copy, which is what its
// users are told to make.
const asRix = (name, bytes) =>
    String.fromCharCode(...new Uint8Array(bytes, 0, Math.min(4, bytes.byteLength))) === 'RIX3' ? name.replace(/(\.[^.]*)?$/, '.rix') : name;

function convert(core, { name: given, bytes }, folder) {
    const call = (what, ...args) => core.ccall(what, 'number', args.map((a) => typeof a), args);
    const text = (at) => (at ? core.UTF8ToString(at) : null);
    const name = text(call('quorvel_output_name', given)) ? given : asRix(given, bytes);
    const output = text(call('quorvel_output_name', name));
    if (!output) return { message: unknown };
    core.FS.mkdir(folder);
    core.FS.chdir(folder);
    try {
        core.FS.writeFile(name, new Uint8Array(bytes));
        const picture = JSON.parse(text(call('quorvel_describe', name)) ?? 'null');
        const rgba = picture?.format === 'ColorRIX' ? rgbaOf(core, call, picture) : null;
        call('quorvel_close');
        const started = performance.now();
        const message = text(call('quorvel_convert', name));
        const took = performance.now() - started;
        const made = core.FS.analyzePath(output).exists ? core.FS.readFile(output) : null;
        return { picture, rgba, message, output, bytes: made?.length ? made : null, took };
    } finally {
        for (const made of core.FS.readdir('.')) if (made !== '.' && made !== '..') core.FS.unlink(made);
        core.FS.chdir('/');
        core.FS.rmdir(folder);
    }
}

// A batch is [{name, path, bytes}], path being the folder it came from;
// each file's result goes back as it is made, then the archive of them all.
async function run({ batch, files }) {
    const core = await ready;
    const archive = new JSZip();
    let converted = 0;
    for (const [index, file] of files.entries()) {
        let result;
        try {
            result = convert(core, file, `/${batch}-${index}`);
        } catch (error) {
            result = { message: `Not converted: ${error}` };
        }
        if (result.bytes) {
            // a copy: the bytes themselves go to the page
            archive.file(file.path + result.output, result.bytes.slice(), { binary: true });
            ++converted;
        }
        postMessage({ batch, index, ...result }, [result.rgba?.buffer, result.bytes?.buffer].filter(Boolean));
    }
    const zip = converted > 1 ? await archive.generateAsync({ type: 'blob', compression: 'DEFLATE' }) : null;
    postMessage({ batch, done: true, zip });
}

onmessage = ({ data }) => {
    queue = queue.then(() => run(data));
};
