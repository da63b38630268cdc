// The camera menu on the signed-in screen: which camera the preview and the
// recording use. cameraMenuView is pure (a list in, the menu out) so node
// tests can check it as a table; createCameraMenu keeps the <select> in step
// with the native side.

import { bridgeMessage } from './native.js';

const clean = (value) => (typeof value === 'string' ? value.replace(/\s+/g, ' ').trim() : '');

// The native side's list, with anything malformed (or a repeated id) left out.
export function camerasFrom(list) {
  if (!Array.isArray(list)) return [];
  const seen = new Set();
  const cameras = [];
  for (const entry of list) {
    const id = typeof entry?.id === 'string' ? entry.id : '';
    if (id === '' || seen.has(id)) continue;
    seen.add(id);
    cameras.push({ id, name: clean(entry.name) || 'Unnamed camera', isDefault: entry.isDefault === true,
                   isSelected: entry.isSelected === true });
  }
  return cameras;
}

// list: what listCameras, selectCamera or "veltrano:cameras-changed" gave;
// remembered: {id, name} of the camera last seen chosen, or null.
// -> {disabled, options: [{value, label, selected}], note, remember}.
// The value "" is the system default. A remembered camera missing from the
// list while nothing is chosen is one that was unplugged: the default is
// used and the note says so; remember is what to keep for the next list.
export function cameraMenuView(list, remembered = null) {
  const cameras = camerasFrom(list);
  if (!cameras.length)
    return { disabled: true, options: [{ value: '', label: 'No camera found', selected: true }], note: '', remember: remembered };
  const defaultCamera = cameras.find((camera) => camera.isDefault);
  const chosen = cameras.find((camera) => camera.isSelected);
  const options = [
    { value: '', label: defaultCamera ? `System default (${defaultCamera.name})` : 'System default', selected: !chosen },
    ...cameras.map((camera) => ({ value: camera.id, label: camera.name, selected: camera === chosen })),
  ];
  if (chosen) return { disabled: false, options, note: '', remember: { id: chosen.id, name: chosen.name } };
  const missing = remembered && typeof remembered.id === 'string' && !cameras.some((camera) => camera.id === remembered.id);
  if (!missing) return { disabled: false, options, note: '', remember: null };
  const name = clean(remembered.name);
  return {
    disabled: false, options, remember: remembered,
    note: `${name ? `“${name}”` : 'The camera you chose'} isn't connected, so the system default is used.`,
  };
}

const rememberKey = 'veltrano.chosenCamera';

function recall(storage) {
  try {
    const value = JSON.parse(storage.getItem(rememberKey));
    return typeof value?.id === 'string' ? value : null;
  } catch {
    return null;
  }
}

// elements: {area, menu, note, message}; onSelected() after the native side
// took a choice; onChanged(cameras) after cameras came or went. The choice
// is remembered across restarts (sign-out clears it with everything else),
// so an unplugged camera is noticed even in the first list.
export function createCameraMenu({ native, elements, storage = localStorage, onSelected = () => {}, onChanged = () => {} }) {
  const { area, menu, note, message } = elements;
  let supported = Boolean(native);
  let busy = false;
  let last = [];
  area.hidden = true;

  function render(list) {
    last = list;
    const view = cameraMenuView(list, recall(storage));
    if (view.remember) storage.setItem(rememberKey, JSON.stringify(view.remember));
    else storage.removeItem(rememberKey);
    const document = menu.ownerDocument;
    menu.replaceChildren(...view.options.map(({ value, label, selected }) =>
      Object.assign(document.createElement('option'), { value, textContent: label, selected })));
    menu.disabled = view.disabled || busy;
    note.textContent = view.note;
    note.hidden = view.note === '';
    area.hidden = false;
  }

  // false for an older native side without cameras: the menu stays hidden.
  async function ask(method, payload) {
    try {
      return { list: await native.call(method, payload) };
    } catch (error) {
      if (error?.code === 'unknown_method') {
        supported = false;
        area.hidden = true;
      }
      return { error };
    }
  }

  async function load() {
    if (!supported) return;
    const { list, error } = await ask('listCameras');
    if (!supported) return;
    render(error ? last : list);
  }

  menu.addEventListener('change', async () => {
    if (!supported || busy) return;
    const id = menu.value === '' ? null : menu.value;
    // Choosing the default is a choice too: an unplugged camera is no longer missed.
    if (id === null) storage.removeItem(rememberKey);
    busy = true;
    menu.disabled = true;
    message.textContent = '';
    const { list, error } = await ask('selectCamera', { id });
    busy = false;
    if (!supported) return;
    if (error) {
      message.textContent = bridgeMessage(error, "That camera couldn't be chosen.");
      const again = await ask('listCameras');
      if (supported) render(again.error ? last : again.list);
      return;
    }
    if (Array.isArray(list)) render(list);
    else await load();
    onSelected();
  });

  window.addEventListener('veltrano:cameras-changed', (event) => {
    if (!supported || !Array.isArray(event.detail)) return;
    render(event.detail);
    onChanged(camerasFrom(event.detail));
  });

  return {
    load,
    get supported() {
      return supported;
    },
  };
}
