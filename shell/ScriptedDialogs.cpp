#include "shell/ScriptedDialogs.h"

int ScriptedDialogs::MsgBox(QWidget*, const QString& text, int style, const QString& title) {
  if (beforeMessage) beforeMessage();
  messages.append({text, style, title});
  if (onMessage) onMessage(messages.constLast());
  if (!asksYesNo(style)) return vbOK;
  return questionAnswers.isEmpty() ? defaultAnswer(style) : questionAnswers.takeFirst();
}

QString ScriptedDialogs::GetOpenFileName(QWidget*, const QString& title, const QString& directory,
                                         const QString& defaultSuffix) {
  openRequests.append({title, directory, defaultSuffix});
  return openAnswers.isEmpty() ? QString() : openAnswers.takeFirst();
}

QString ScriptedDialogs::GetFolder(QWidget*, const QString& title, const QString& preselected) {
  folderRequests.append({title, preselected, QString()});
  return folderAnswers.isEmpty() ? QString() : folderAnswers.takeFirst();
}

QStringList ScriptedDialogs::texts() const {
  QStringList all;
  for (const Message& m : messages) all.append(m.text);
  return all;
}
