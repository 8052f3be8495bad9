#pragma once

#include "shell/Dialogs.h"

#include <QList>
#include <QStringList>

#include <functional>

// Answers the program's dialogs in the user's place and keeps a record of
// every message shown, for the tests, the benchmarks and the README's
// pictures. It is not part of the program.
class ScriptedDialogs : public Dialogs {
 public:
  struct Message {
    QString text;
    int style;
    QString title;
    bool operator==(const Message&) const = default;
  };
  struct Request {
    QString title;
    QString start;   // the folder the dialog opens on
    QString suffix;  // the open-file dialog's default suffix
  };

  QList<Message> messages;
  QList<Request> openRequests;
  QList<Request> folderRequests;

  // Answers, taken in order; an empty answer, or none left, is a cancel.
  QStringList openAnswers;
  QStringList folderAnswers;
  // Answers to questions (vbYes or vbNo), taken in order; with none left,
  // Enter presses the default button.
  QList<int> questionAnswers;

  // Runs while a message is up, as if the user acted before pressing OK.
  std::function<void(const Message&)> onMessage;
  // Runs first when a message comes up, before it is recorded.
  std::function<void()> beforeMessage;

  int MsgBox(QWidget* owner, const QString& text, int style, const QString& title) override;
  QString GetOpenFileName(QWidget* owner, const QString& title, const QString& directory,
                          const QString& defaultSuffix) override;
  QString GetFolder(QWidget* owner, const QString& title, const QString& preselected) override;

  QStringList texts() const;
};
