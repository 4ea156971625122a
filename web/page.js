// The page: files given by the inputs or dropped go to the worker, a batch
// at a time; each result is listed as it comes back, a ColorRIX drawn at its
// own size, each conversion a link to its bytes.
'use strict';

const $ = (id) => document.getElementById(id);
const source = new Blob([$('worker').textContent], { type: 'text/javascript' });
const worker = new Worker(URL.createObjectURL(source));
const batches = new Map();  // batch number → { files, items, converted, refused, shown }
let batchCount = 0;

const element = (tag, properties = {}, ...children) => {
    const made = Object.assign(document.createElement(tag), properties);
    made.append(...children);
    return made;
};
const link = (blob, name, label) => element('a', { href: URL.createObjectURL(blob), download: name }, label);
const plural = (n, what) => `${n} ${what}${n === 1 ? '' : 's'}`;

async function give(entries) {
    const files = await Promise.all(entries.map(async ({ file, path }) => ({ name: file.name, path, size: file.size, bytes: await file.arrayBuffer() })));
    if (!files.length) return;
    const batch = ++batchCount;
    const items = files.map(({ name, path, size }) => {
        const item = element('li', { className: 'pending' }, element('h2', {}, path + name),
                             element('p', { className: 'about' }, `${size.toLocaleString('en')} bytes`));
        item.dataset.name = path + name;
        $('results').append(item);
        return item;
    });
    batches.set(batch, { files: files.length, items, converted: 0, refused: 0, shown: 0 });
    showProgress();
    worker.postMessage({ batch, files: files.map(({ name, path, bytes }) => ({ name, path, bytes })) }, files.map((f) => f.bytes));
}

function showProgress() {
    const [files, shown] = [...batches.values()].reduce(([f, s], b) => [f + b.files, s + b.shown], [0, 0]);
    $('progress').hidden = !files;
    Object.assign($('done'), { max: files || 1, value: shown });
    $('count').textContent = `${shown} of ${plural(files, 'file')} read`;
}

function describe(picture) {
    const size = `${picture.width} x ${picture.height}`;
    return picture.format === 'ColorRIX' ? `ColorRIX, ${size}, ${picture.colours} colours, ${picture.kind}`
        : `bitmap, ${size}, ${picture.bits} bits a pixel, ${picture.colours} colours, ${picture.kind}`;
}

// Whole pixels of the picture's own size, zoomed by the style to about 480 pixels.
function drawing(picture, rgba, name) {
    const { width, height } = picture;
    const canvas = element('canvas', { width, height });
    canvas.setAttribute('role', 'img');
    canvas.setAttribute('aria-label', `${name}, ${width} by ${height} pixels`);
    canvas.style.width = `${width * Math.max(1, Math.floor(480 / Math.max(width, height)))}px`;
    canvas.getContext('2d').putImageData(new ImageData(rgba, width, height), 0, 0);
    return canvas;
}

function show({ batch, index, picture, rgba, message, output, bytes, took }) {
    const state = batches.get(batch);
    const item = state.items[index];
    const name = item.dataset.name;
    item.dataset.took = took ?? '';  // the conversion's milliseconds, for the benchmark
    item.className = bytes ? 'converted' : 'refused';
    if (picture) item.querySelector('.about').append(`, ${describe(picture)}`);
    item.append(element('p', { className: 'message' }, message ?? ''));
    const links = element('p', { className: 'links' });
    if (bytes) links.append(link(new Blob([bytes]), output, `Download ${output}`));
    if (rgba && picture.width && picture.height) {
        const canvas = drawing(picture, rgba, name);
        item.insertBefore(canvas, item.querySelector('.message'));
        const png = output.slice(0, -3) + 'png';
        if (bytes) canvas.toBlob((blob) => blob && links.append(link(blob, png, `Download ${png}`)), 'image/png');
    }
    item.append(links);
    state[bytes ? 'converted' : 'refused'] += 1;
    state.shown += 1;
    showProgress();
}

function finish({ batch, zip }) {
    const { converted, refused } = batches.get(batch);
    if (zip) $('archive').replaceChildren(link(zip, 'quorvel-converted.zip', `Download all ${converted} conversions as one archive`));
    batches.delete(batch);
    showProgress();
    $('announce').textContent = `${plural(converted, 'file')} converted, ${refused} not converted.`;
}

worker.onmessage = ({ data }) => (data.done ? finish : show)(data);

// A folder's files with the folders they are in, as webkitRelativePath has them.
const folderOf = (file) => (file.webkitRelativePath || '').replace(/[^/]*$/, '');
for (const input of [$('files'), $('folder')]) {
    input.addEventListener('change', () => {
        give([...input.files].map((file) => ({ file, path: folderOf(file) })));
        input.value = '';
    });
}

// Dropped folders are read through their entries, every file below them.
async function filesBelow(entry, path) {
    if (entry.isFile) return [{ file: await new Promise((done, fail) => entry.file(done, fail)), path }];
    const reader = entry.createReader();
    const entries = [];
    for (let read; (read = await new Promise((done, fail) => reader.readEntries(done, fail))).length;) entries.push(...read);
    return (await Promise.all(entries.map((child) => filesBelow(child, `${path}${entry.name}/`)))).flat();
}

// Anywhere on the page, so that a file dropped beside the zone is not opened in its place.
const drop = $('drop');
window.addEventListener('dragover', (event) => {
    event.preventDefault();
    drop.classList.add('over');
});
window.addEventListener('dragleave', () => drop.classList.remove('over'));
window.addEventListener('drop', async (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    const entries = [...event.dataTransfer.items].map((item) => item.webkitGetAsEntry()).filter(Boolean);
    give((await Promise.all(entries.map((entry) => filesBelow(entry, '')))).flat());
});
