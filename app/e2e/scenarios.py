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
UPDATED = {"game.exe": "game 1.02", "data/map01.dat": "map01 1.02", "data/map02.dat": "map02 1.02",
           "doc/readme.txt": "readme 1.02"}
FULL_LINUX = [(M2, "ok"), (M7, "yes"), (expect("M11"), "ok"),
              (expect("M9", "{INSTALL}\\doc"), "ok"), (expect("M6", TITLE), "ok")]


def scenario(name, boxes, files=None, update_list=SETTINGS + RULES, patch=PATCH,
             install=INSTALL, registry="hkcu", mutex=None, patch_modes=None,
             install_modes=None, extra_install_files=None, list_name="update.lst",
             registry_value=None, install_folder="installation", patch_fifos=(),
             only_files=False, linux_only=False, args=(), status=None, stderr=None, wine=None):
    """registry_value: the install folder value, when not the installation's
    path. install_folder: the installation's folder name (Linux runner).
    patch_fifos: FIFOs laid into the patch folder. only_files: the
    installation holds nothing but `files` (and their folders) afterwards.
    linux_only: the scenario is about the Linux build's own behaviour. The
    rest are for the Linux runner: args, the installer's arguments; status,
    its exit status when not the one its boxes imply; stderr, a pattern its
    whole standard error matches; wine, a Wine prefix laid out by hand
    (prefix: its folder below the run's, `.wine` being ~/.wine; recorded:
    the install folder in its user.reg; variable: WINEPREFIX, {TMP} the
    run's folder; foreign: it stays root's while the installer runs as
    `nobody`), whose files outside the installation must not change."""
    return {
        "name": name, "boxes": boxes, "files": files or {}, "list": update_list,
        "patch": patch, "install": install, "registry": registry, "mutex": mutex,
        "patch_modes": patch_modes or {}, "install_modes": install_modes or {},
        "extra_install_files": extra_install_files or {}, "list_name": list_name,
        "registry_value": registry_value, "install_folder": install_folder,
        "patch_fifos": list(patch_fifos), "only_files": only_files, "linux_only": linux_only,
        "args": list(args), "status": status, "stderr": stderr, "wine": wine,
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
    # A list written on Windows, in other letter cases than the files: the
    # list is found, the rule's folder part finds the patch's folder, and the
    # installed folder and files are used, never doubled; the installed
    # Game.exe is newer, so M11 is asked.
    scenario("letter_case", [
        (M2, "ok"), (M7, "yes"), (expect("M11"), "ok"), (expect("M6", TITLE), "ok"),
    ], {"Game.exe": "game 1.02", "Data/MAP01.dat": "map01 1.02", "Data/map02.dat": "map02 1.02"},
        update_list=SETTINGS + "GAME.EXE\nDATA\\*.DAT\n", list_name="UPDATE.LST",
        patch={"game.exe": ("game 1.02", NEW), "data/map01.dat": ("map01 1.02", NEW),
               "data/map02.dat": ("map02 1.02", NEW)},
        install={"Game.exe": ("game 1.01", NEWER), "Data/MAP01.dat": ("map01 1.01", OLD)},
        only_files=True),
    # An empty install folder value names no folder: not installed (the files
    # would otherwise go to the root of the drive).
    scenario("empty_install_folder", [(M2, "ok"), (expect("M3", TITLE), "ok")], UNTOUCHED,
             registry_value=""),
    # The registry file names the folder inst〜 (U+301C), which has no code
    # page 932 form of its own (iconv gives that of ～, U+FF5E): not installed,
    # rather than patching or creating a folder inst～.
    scenario("look_alike_install_folder", [(M2, "ok"), (expect("M3", TITLE), "ok")],
             UNTOUCHED, install_folder="inst〜", linux_only=True),
    # A patch file named with U+301C can't be named in code page 932: the
    # search passes it over silently, and no look-alike file appears.
    scenario("look_alike_patch_file", [(M2, "ok"), (M7, "yes"), (expect("M6", TITLE), "ok")],
             {"data/map01.dat": "map01 1.02"}, update_list=SETTINGS + "data\\*.dat\n",
             patch={"data/map01.dat": ("map01 1.02", NEW), "data/map〜.dat": ("wave", NEW)},
             install={"data/map01.dat": ("map01 1.01", OLD)}, only_files=True, linux_only=True),
    # A FIFO that a rule matches is no file of a Windows folder: passed over,
    # and nothing waits on it.
    scenario("fifo_in_patch_folder", [(M2, "ok"), (M7, "yes"), (expect("M6", TITLE), "ok")],
             {"data/map01.dat": "map01 1.02"}, update_list=SETTINGS + "data\\*.dat\n",
             patch={"data/map01.dat": ("map01 1.02", NEW)}, patch_fifos=["data/map03.dat"],
             install={"data/map01.dat": ("map01 1.01", OLD)}, only_files=True, linux_only=True),
    # The game's lock file was left by another user and may not be written by
    # this one: the running check is made all the same (the game is not
    # running), and the patch goes in.
    scenario("lock_file_of_another_user", [(M2, "ok"), (M7, "yes"), (expect("M6", TITLE), "ok")],
             {"game.exe": "game 1.02"}, update_list=SETTINGS + "game.exe\n", mutex="foreign",
             linux_only=True),
    # At the end of the input every box gets the answer that consents to
    # nothing more: Cancel to the overwrite, then Yes to "stop?", so an
    # unattended run stops instead of going on and reporting success.
    scenario("end_of_input_stops", [
        (M2, "ok"), (M7, "yes"), (expect("M11"), None), (expect("M13"), None),
    ], {"game.exe": "game 1.02", "data/map01.dat": "map01 1.02",
        "data/map02.dat": "map02 edited by the player", "doc/readme.txt": None},
        linux_only=True),
    # A drive path in the registry file is no folder Linux can reach: not
    # installed, and a line on standard error says why and where it looked.
    scenario("drive_path_in_registry_file", [(M2, "ok"), (expect("M3", TITLE), "ok")], UNTOUCHED,
             registry_value="C:\\Games\\Adventure", linux_only=True,
             stderr=r'update: no install folder: "C:\\Games\\Adventure" is not an absolute Linux '
                    r'path .*; read the registry file /.*/registry\.reg\n'),
    # Any argument but --help or --version: the usage, status 64, nothing done.
    scenario("dry_run_argument", [], UNTOUCHED, args=["--dry-run"], status=64,
             stderr=r"usage: update \[--help \| --version\]\n", linux_only=True),
    # No WINEPREFIX and no registry file: Wine's default prefix ~/.wine. `..`
    # after the drive never leaves it: C:\..\x is C:\x.
    scenario("default_prefix_and_dots", FULL_LINUX, UPDATED,
             install_folder=".wine/drive_c/Games/Adventure", registry="absent", linux_only=True,
             wine={"prefix": ".wine", "recorded": "C:\\..\\Games\\x\\..\\.\\Adventure"}),
    # Without a user.reg there, M3 says where the installer looked.
    scenario("no_registry_at_all", [(M2, "ok"), (expect("M3", TITLE), "ok")], UNTOUCHED,
             registry="absent", linux_only=True, stderr=r".*registry\.reg \(missing; no Wine prefix "
             r"either: WINEPREFIX is unset and ~/\.wine holds no user\.reg\)\n"),
    # Wine's own rule: a relative WINEPREFIX, or one another user owns (as
    # root only), is not used.
    scenario("relative_prefix", [(M2, "ok"), (expect("M3", TITLE), "ok")], {},
             install_folder="patch/prefix/drive_c/Games/Adventure", linux_only=True,
             wine={"prefix": "patch/prefix", "recorded": "C:\\Games\\Adventure",
                   "variable": "prefix"}, stderr=r".*WINEPREFIX is not an absolute path\n"),
    scenario("foreign_prefix", [(M2, "ok"), (expect("M3", TITLE), "ok")], {},
             install_folder="prefix/drive_c/Games/Adventure", linux_only=True,
             wine={"prefix": "prefix", "recorded": "C:\\Games\\Adventure",
                   "variable": "{TMP}/prefix", "foreign": True},
             stderr=r".*the prefix is not owned by you\n"),
    # Something planted at the lock path in place of a lock file (a FIFO,
    # which would block an open, or a link): the check can't be made (M5),
    # at once.
    scenario("fifo_at_lock_path", [(M2, "ok"), (expect("M5"), "cancel")], UNTOUCHED,
             mutex="fifo", linux_only=True),
    scenario("link_at_lock_path", [(M2, "ok"), (expect("M5"), "cancel")], UNTOUCHED,
             mutex="link", linux_only=True),
]
