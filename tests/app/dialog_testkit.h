// Driving the main window's modal dialogs in tests: a script runs on the
// dialog once it is up (a dialog still open after it is cancelled, so a
// refused OK never hangs a test), and message boxes are recorded and
// answered.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app_testkit.h"
#include "platform/ui/prompts.h"
#include "transport/skype_null.h"

namespace apptest {

template <typename D>
class OnDialog {
public:
    explicit OnDialog(std::function<void(D&)> script)
        : m_handler([this, script = std::move(script)](CDialog& d) {
              auto* dlg = dynamic_cast<D*>(&d);
              if (!dlg) {
                  ADD_FAILURE() << "another dialog opened";
                  d.EndDialog(IDCANCEL);
                  return;
              }
              ++runs;
              script(*dlg);
              if (dlg->IsWindowVisible()) {
                  stayedOpen = true;
                  dlg->EndDialog(IDCANCEL);
              }
          })
    {
    }
    int runs = 0;
    bool stayedOpen = false;

private:
    ui::ScopedModalDialogHandler m_handler;
};

// Message boxes, recorded (UTF-8) and answered OK or Yes.
class Boxes {
public:
    std::vector<std::string> texts;

private:
    ui::ScopedMessageBoxHandler m_handler{[this](const ui::MessageBoxRequest& r) {
        texts.push_back(r.utf8Text());
        return (r.type & 0xF) == MB_YESNO ? IDYES : IDOK;
    }};
};

// A messaging-client side with a contact list.
class ContactSide : public CSkypeSide {
public:
    std::vector<CONTACT> contacts;
    void add(const char* handle)
    {
        CONTACT c{};
        std::strncpy(c.handle, handle, sizeof c.handle - 1);
        c.status = 2;
        contacts.push_back(c);
    }
    int getContactCount() override { return static_cast<int>(contacts.size()); }
    const CONTACT* getContact(int i) override
    {
        return i >= 0 && i < getContactCount() ? &contacts[static_cast<std::size_t>(i)] : nullptr;
    }
};

inline void setText(CDialog& d, int id, const std::string& utf8) { d.GetDlgItem(id)->SetWindowText(ui::cp(utf8)); }
inline std::string textOf(CDialog& d, int id) { return d.GetDlgItem(id)->GetWindowText(); }
inline CButton* buttonOf(CDialog& d, int id) { return dynamic_cast<CButton*>(d.GetDlgItem(id)); }
inline void clickOk(CDialog& d) { buttonOf(d, IDOK)->Click(); }

} // namespace apptest
