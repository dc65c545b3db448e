#include "app/application.h"

#include "app/copy_run.h"
#include "app/install_lookup.h"
#include "app/run_progress.h"
#include "app/update_list.h"
#include "platform/dialog.h"
#include "platform/mutex.h"
#include "platform/registry.h"
#include "text/vx_string.h"

namespace {

const char kListName[] = "update.lst";

const char kListFailed[] = "update.lstの読み込みが失敗しました";  // M1
const char kFailedCaption[] = "失敗";
const char kApplyPatch[] =  // M2 with a patch name
    "『%s』を適用します\n"
    "このまま実行すると現在インストールされているプログラムを自動的に更新します\n"
    "続けてもよろしいですか？";
const char kUpdateTitle[] =  // M2 without one
    "『%s』を更新します\n"
    "このまま実行すると現在インストールされているプログラムを自動的に更新します\n"
    "続けてもよろしいですか？";
const char kConfirmCaption[] = "%sアップデートプログラム";
const char kNotInstalled[] =  // M3
    "%sはインストールされていません\n"
    "まだインストールされていない場合はインストール後にアップデートしてください\n"
    "インストールしているのにこのメッセージが出る場合は手動インストールを試してください";
const char kWarningCaption[] = "警告";
const char kRunning[] =  // M4
    "%sが実行中の可能性があります\n"
    "実行中の場合はゲームを終了してからこのプログラムを再実行してください\n"
    "実行中ではない場合は、一度再起動してから試してみてください\n"
    "それでもこのメッセージが出る場合は手動セットアップを試してください";
const char kCheckFailed[] =  // M5
    "起動チェックができません\n"
    "このまま続けると問題が起きる場合があります\n"
    "続けますか？";
const char kCheckFailedCaption[] = "原因不明のエラー";
const char kUpdated[] = "%sは無事更新されました";  // M6
const char kDoneCaption[] = "完了";

int Show(CVxString text, CVxString caption, uint32_t style) {
  return platform::ShowMessage(text.GetBuffer(), caption.GetBuffer(), style);
}

// Probes the game's mutex. True when the run may go on: the game does not
// run, or the check could not be made and the user chose to go on anyway.
bool GameIsNotRunning(const char* title) {
  uint32_t lastError = 0;
  platform::MutexHandle mutex = platform::CreateNamedMutex(UpdateSettings.m_mutexName, &lastError);
  if (mutex == nullptr) {
    return Show(kCheckFailed, kCheckFailedCaption, platform::kStyleQuestion) == platform::kButtonOk;
  }
  // The installer never keeps the mutex: a handle that says the game runs
  // is dropped before the message, one that does not is dropped at once.
  platform::CloseMutex(mutex);
  if (lastError == platform::kErrorAlreadyExists) {
    CVxString text;
    Show(text.Format(kRunning, title), kWarningCaption, platform::kStyleError);
    return false;
  }
  return true;
}

}  // namespace

RunOutcome RunApplication() {
  CVxString text;
  CVxString caption;

  if (!ReadUpdateList(kListName)) {
    Show(kListFailed, kFailedCaption, platform::kStyleError);
    return RunOutcome::kEndedEarly;
  }

  const char* title = UpdateSettings.m_title;
  if (UpdateSettings.m_patchName[0] != '\0') {
    text.Format(kApplyPatch, UpdateSettings.m_patchName);
  } else {
    text.Format(kUpdateTitle, title);
  }
  caption.Format(kConfirmCaption, title);
  if (Show(text, caption, platform::kStyleQuestion) != platform::kButtonOk) {
    return RunOutcome::kEndedEarly;
  }

  if (!FindInstallDirectory()) {
    platform::NoteRegistryLookupFailure(InstallLookupFailure());
    Show(text.Format(kNotInstalled, title), kWarningCaption, platform::kStyleError);
    return RunOutcome::kEndedEarly;
  }

  if (UpdateSettings.m_mutexName[0] != '\0' && !GameIsNotRunning(title)) {
    return RunOutcome::kEndedEarly;
  }

  // A declined or aborted run has already said why.
  RunProgress progress(true);
  if (!RunUpdate()) return RunOutcome::kEndedEarly;
  progress.Finish();

  Show(text.Format(kUpdated, title), kDoneCaption, platform::kStyleInformation);
  return progress.filesNotCopied() == 0 ? RunOutcome::kUpdated : RunOutcome::kUpdatedPartly;
}
