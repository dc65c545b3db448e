"""End-to-end scenarios of the installer, shared by the Linux runner and the
Windows runner under Wine.

A scenario lays out a patch folder, an installation and a registry entry,
names the answer to every box, and says which boxes must appear (text,
caption, style, in order) and what the installation holds afterwards.
In texts, {PATCH} and {INSTALL} stand for the two folders as the program
shows them; files are given with `/` and become `\\` where Windows needs it.
"""
from messages import expect

TITLE = "星海の冒険"
PATCH_NAME = "星海の冒険 Ver1.02 パッチ"
OLD, NEW, NEWER = "2025-01-01 12:00", "2026-06-01 12:00", "2026-09-01 12:00"

SETTINGS = (f"gametitle = {TITLE}\npatchname = {PATCH_NAME}\nmutexname = VxTestGame\n"
            "regbase = Hoshiumi\\Adventure\nreginstall = InstallDir\n")
RULES = "game.exe\ndata\\*.dat\nreadme.txt\t\\doc\n"

PATCH = {
    "game.exe": ("game 1.02", NEW),
    "data/map01.dat": ("map01 1.02", NEW),
    "data/map02.dat": ("map02 1.02", NEW),
    "readme.txt": ("readme 1.02", NEW),
}
INSTALL = {
    "game.exe": ("game 1.01", OLD),
    "data/map01.dat": ("map01 1.01", OLD),
    "data/map02.dat": ("map02 edited by the player", NEWER),
}
UNTOUCHED = {"game.exe": "game 1.01", "data/map01.dat": "map01 1.01",
             "data/map02.dat": "map02 edited by the player", "doc/readme.txt": None}

M2 = expect("M2patch", PATCH_NAME, caption_arg=TITLE)
M7 = expect("M7", "{PATCH}", "{INSTALL}")


def scenario(name, boxes, files=None, update_list=SETTINGS + RULES, patch=PATCH,
             install=INSTALL, registry="hkcu", mutex=None, patch_modes=None,
             install_modes=None, extra_install_files=None):
    return {
        "name": name, "boxes": boxes, "files": files or {}, "list": update_list,
        "patch": patch, "install": install, "registry": registry, "mutex": mutex,
        "patch_modes": patch_modes or {}, "install_modes": install_modes or {},
        "extra_install_files": extra_install_files or {},
    }


SCENARIOS = [
    # No list: M1 and nothing else.
    scenario("no_list", [(expect("M1"), "ok")], UNTOUCHED, update_list=None),
    # Cancel at the first question ends silently.
    scenario("cancel_at_confirmation", [(M2, "cancel")], UNTOUCHED),
    # No registry entry: the game counts as not installed.
    scenario("not_installed", [(M2, "ok"), (expect("M3", TITLE), "ok")], UNTOUCHED,
             registry=None),
    # The entry under HKEY_USERS\.DEFAULT is the fallback; No at M7 ends silently.
    scenario("fallback_root_then_no_at_folders", [(M2, "ok"), (M7, "no")], UNTOUCHED,
             registry="hku"),
    # The game holds its mutex: M4, and no file is touched.
    scenario("game_running", [(M2, "ok"), (expect("M4", TITLE), "ok")], UNTOUCHED,
             mutex="held"),
    # The running check can't be made: M5, and Cancel ends.
    scenario("mutex_unavailable", [(M2, "ok"), (expect("M5"), "cancel")], UNTOUCHED,
             mutex="unavailable"),
    # A whole patch: a missing folder is created, a newer file is overwritten
    # on request, and the run ends with M6.
    scenario("full_update", [
        (M2, "ok"), (M7, "yes"),
        (expect("M11"), "ok"),
        (expect("M9", "{INSTALL}\\doc"), "ok"),
        (expect("M6", TITLE), "ok"),
    ], {"game.exe": "game 1.02", "data/map01.dat": "map01 1.02", "data/map02.dat": "map02 1.02",
        "doc/readme.txt": "readme 1.02"}),
    # Declining an overwrite, then No at M13, goes on with the other files.
    scenario("decline_overwrite_and_go_on", [
        (M2, "ok"), (M7, "yes"),
        (expect("M11"), "cancel"), (expect("M13"), "no"),
        (expect("M9", "{INSTALL}\\doc"), "ok"),
        (expect("M6", TITLE), "ok"),
    ], {"game.exe": "game 1.02", "data/map01.dat": "map01 1.02",
        "data/map02.dat": "map02 edited by the player", "doc/readme.txt": "readme 1.02"}),
    # A read-only destination can't be replaced (M12); Yes at M13 stops at
    # once, keeps what was copied, and shows no M6.
    scenario("abort_after_failed_copy", [
        (M2, "ok"), (M7, "yes"),
        (expect("M12", "data\\map01.dat"), "ok"), (expect("M13"), "yes"),
    ], {"game.exe": "game 1.02", "data/map01.dat": "map01 1.01",
        "data/map02.dat": "map02 edited by the player", "doc/readme.txt": None},
        install_modes={"data/map01.dat": 0o444}),
    # A folder that takes no new file holds files that may be written: they
    # are written in place, as a plain copy writes them.
    scenario("folder_not_writable", [
        (M2, "ok"), (M7, "yes"),
        (expect("M11"), "ok"),
        (expect("M9", "{INSTALL}\\doc"), "ok"),
        (expect("M6", TITLE), "ok"),
    ], {"game.exe": "game 1.02", "data/map01.dat": "map01 1.02", "data/map02.dat": "map02 1.02",
        "doc/readme.txt": "readme 1.02"}, install_modes={"data": 0o555}),
    # A folder that can't be created (a file of that name is in the way):
    # M9, M10, then No at M13 goes on and the run still ends with M6.
    scenario("folder_cannot_be_created", [
        (M2, "ok"), (M7, "yes"),
        (expect("M11"), "ok"),
        (expect("M9", "{INSTALL}\\doc"), "ok"), (expect("M10"), "ok"), (expect("M13"), "no"),
        (expect("M6", TITLE), "ok"),
    ], {"game.exe": "game 1.02", "data/map02.dat": "map02 1.02", "doc": "not a folder"},
        extra_install_files={"doc": ("not a folder", OLD)}),
    # A source that can't be opened: M8.
    scenario("unreadable_source", [
        (M2, "ok"), (M7, "yes"),
        (expect("M8", "game.exe"), "ok"), (expect("M13"), "yes"),
    ], {"game.exe": "game 1.01"}, patch_modes={"game.exe": 0o000}),
    # No patch name, no title, no mutex: the caption is the bare product text,
    # no running check is made even though the lock is held.
    scenario("empty_title_and_mutex", [
        (expect("M2title", "", caption_arg=""), "ok"), (M7, "yes"),
        (expect("M6", ""), "ok"),
    ], {"game.exe": "game 1.02"},
        update_list="regbase=Hoshiumi\\Adventure\nreginstall=InstallDir\ngame.exe\n",
        mutex="held"),
]
