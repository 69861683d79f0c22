// GNOME answers org.gnome.Shell.Eval and Screenshot only in unsafe mode;
// the test needs both to find the icon and to see the screen. Input still
// goes through mutter's remote-desktop devices, as a person's would.
// GNOME 45 and later load extensions as ES modules (GNOME 43 and 44 take
// ../legacy/extension.js instead).
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

export default class HarluneHand extends Extension {
    enable() { global.context.unsafe_mode = true; }
    disable() { global.context.unsafe_mode = false; }
}
