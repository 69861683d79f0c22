// GNOME 43 answers org.gnome.Shell.Eval and Screenshot only in unsafe
// mode, which has no command-line switch there; the test needs both to find
// the icon and to see the screen. Input still goes through mutter's
// remote-desktop devices, as a person's would. The extension in the format
// GNOME 43 and 44 load; later ones take ../harlune-hand@harlune.de instead.
/* exported init */
function init() {
    return {
        enable() { global.context.unsafe_mode = true; },
        disable() { global.context.unsafe_mode = false; },
    };
}
