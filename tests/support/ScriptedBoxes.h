// Replaces the real message boxes for the lifetime of the object: every box is recorded and
// answered from a script (Yes/OK when the script runs out).
#pragma once

#include "platform/MessageBox.h"

#include <QList>
#include <QStringList>

#include <functional>

class ScriptedBoxes {
public:
    ScriptedBoxes() {
        previous_ = platform::SetMessageBoxHandler([this](const platform::MessageRequest& r) {
            requests.append(r);
            texts.append(r.text);
            if (onShow) {
                onShow(r);
            }
            if (!answers.isEmpty()) {
                return answers.takeFirst();
            }
            return r.buttons == platform::MsgButtons::YesNo ? platform::MsgResult::Yes
                                                            : platform::MsgResult::Ok;
        });
    }
    ~ScriptedBoxes() { platform::SetMessageBoxHandler(previous_); }
    ScriptedBoxes(const ScriptedBoxes&) = delete;
    ScriptedBoxes& operator=(const ScriptedBoxes&) = delete;

    QList<platform::MessageRequest> requests;
    QStringList texts;
    QList<platform::MsgResult> answers;
    // Runs while the "box" is up, as events would in a real nested loop.
    std::function<void(const platform::MessageRequest&)> onShow;

private:
    platform::MessageBoxHandler previous_;
};
