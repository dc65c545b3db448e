"""The installer's dialogue, as players see it: texts, captions and styles.

Written out here, not taken from the program, so that the end-to-end tests
catch a text that drifted. `%s` stands where the program fills in a value.
"""

ERROR, QUESTION, YESNO, INFORMATION = 0x10010, 0x10021, 0x10024, 0x10040

CONFIRM_TAIL = "\nこのまま実行すると現在インストールされているプログラムを自動的に更新します\n続けてもよろしいですか？"

MESSAGES = {
    "M1": ("update.lstの読み込みが失敗しました", "失敗", ERROR),
    "M2patch": ("『%s』を適用します" + CONFIRM_TAIL, "%sアップデートプログラム", QUESTION),
    "M2title": ("『%s』を更新します" + CONFIRM_TAIL, "%sアップデートプログラム", QUESTION),
    "M3": ("%sはインストールされていません\nまだインストールされていない場合はインストール後に"
           "アップデートしてください\nインストールしているのにこのメッセージが出る場合は"
           "手動インストールを試してください", "警告", ERROR),
    "M4": ("%sが実行中の可能性があります\n実行中の場合はゲームを終了してからこのプログラムを"
           "再実行してください\n実行中ではない場合は、一度再起動してから試してみてください\n"
           "それでもこのメッセージが出る場合は手動セットアップを試してください", "警告", ERROR),
    "M5": ("起動チェックができません\nこのまま続けると問題が起きる場合があります\n続けますか？",
           "原因不明のエラー", QUESTION),
    "M6": ("%sは無事更新されました", "完了", INFORMATION),
    "M7": ("パッチ元ディレクトリ  : %s\nインストール先ディレクトリ: %s\nこの情報は正しいですか？",
           "確認", YESNO),
    "M8": ("%sが存在しないか使用中です\n中断します", "失敗", ERROR),
    "M9": ("更新先のフォルダがありません。作成してもいいですか？\n%s", "フォルダの作成", QUESTION),
    "M10": ("フォルダを作成できません", "失敗", ERROR),
    "M11": ("更新先のファイルはアップデートファイルと同じか新しいです\n上書きしますか？",
            "上書き確認", QUESTION),
    "M12": ("%sのコピーが失敗しました", "失敗", ERROR),
    "M13": ("ファイルコピー中にエラーが発生しました\n中断しますか？", "中断確認", YESNO),
}


def expect(mid, *args, caption_arg=None):
    """The (text, caption, style) of message mid with its `%s` filled in."""
    text, caption, style = MESSAGES[mid]
    for a in args:
        text = text.replace("%s", a, 1)
    if caption_arg is not None:
        caption = caption.replace("%s", caption_arg, 1)
    return (mid[:2] if mid.startswith("M2") else mid, text, caption, style)
