#include "service/elog_messages.h"

#include "service/elog.h"

// The texts are the system's own, spelling included ("occured", "sequcnce"):
// administrators and their tools search the log for them.
const elog_message qor_elog_messages[] = {
    {NS_EV_STARTED, "The Varnelith Name Service has started.\r\n",
     "Varnelithネームサービス(QOR)を開始しました。\r\n"},
    {NS_EV_COMPLETED, "The Varnelith Name Service has completed.\r\n",
     "Varnelithネームサービス(QOR)を停止しました。\r\n"},
    {NS_EV_DUPLICATE,
     "65-105 An object %1 has been duplicated for class %2. The latter one is ignored.\r\n",
     "65-105 クラス'%2'のオブジェクト'%1'が重複しています。後に出てきた方を無視します。\r\n"},
    {NS_EV_UNDO_ADD, "65-106 Unable to delete the object name %1 for class %2.\r\n",
     "65-106 クラス'%2'のオブジェクト名'%1'が削除できませんでした。\r\n"},
    {NS_EV_UNDO_REPLACE, "65-107 Unable to overwrite the object name %1 for class %2.\r\n",
     "65-107 クラス'%2'のオブジェクト名'%1'を上書きできませんでした。\r\n"},
    {NS_EV_NO_PROTSEQ, "65-112 This machine does not support the protocol sequence %1.\r\n",
     "65-112 このマシンはプロトコル シーケンス'%1'をサポートしていません。\r\n"},
    {NS_EV_BAD_PROTSEQ, "65-113 The specified protocol sequcnce name %1 is invalid.\r\n",
     "65-113 指定されたプロトコル シーケンス'%1'は正しくありません。\r\n"},
    {NS_EV_WIN32, "65-101 A WIN32 error has occured: %1 %2.\r\n",
     "65-101 Win32エラーが発生しました。理由: %1 %2\r\n"},
    {NS_EV_WINSOCK, "65-102 A WinSock error has occured: %1 %2.\r\n",
     "65-102 WinSockエラーが発生しました。理由: %1 %2\r\n"},
    {NS_EV_CRT, "65-103 A C Runtime error has occured: %1 %2.\r\n",
     "65-103 C ランタイム エラーが発生しました。理由: %1 %2\r\n"},
    {NS_EV_INTERNAL, "65-104 An internal error has occured: %1 %2 %3.\r\n",
     "65-104 内部エラーが発生しました。理由: %1 %2 %3\r\n"},
    {NS_EV_NO_HOSTADDR, "65-108 Unable to resolve the host name: %1\r\n",
     "65-108 ホスト名%1のIPアドレスを取得できません。\r\n"},
    {NS_EV_BAD_PRELOAD, "65-109 The pdc preload file is invalid: %1.\r\n",
     "65-109 プライマリ ドメイン コントローラのプリロード ファイルが正しくありません: %1。\r\n"},
    {NS_EV_NOT_PDC,
     "65-110 In domain configuration, the Varnelith Name Service only runs on the Primary Domain "
     "Controller.\r\n",
     "65-110 ドメイン構成の場合、Varnelithネームサービス(QOR)はプライマリ ドメイン コントローラ "
     "でしか動作しません。\r\n"},
    {NS_EV_ALREADY_RUNNING,
     "65-111 The Varnelith Name Service is already running in this workgroup on %1.\r\n",
     "65-111 このワークグループの'%1'でVarnelith ネームサービス(QOR)がすでに動作しています。\r\n"},
};

const size_t qor_elog_message_count = sizeof(qor_elog_messages) / sizeof(qor_elog_messages[0]);

const char* qor_elog_message(uint32_t eid, int lang) {
  for (size_t i = 0; i < qor_elog_message_count; i++) {
    if (qor_elog_messages[i].eid == eid)
      return lang == QOR_LANG_JAPANESE ? qor_elog_messages[i].japanese
                                       : qor_elog_messages[i].english;
  }
  return nullptr;
}
