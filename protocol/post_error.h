// The notice poster: lower layers hand it what the user should be told, and
// it posts a WM_POSTERROR notice to the main window, which shows it in its
// status label. Posting (not calling) keeps the reporter's own call chain
// short: the notice arrives after the reporter's handler has returned.
#pragma once

#include <functional>
#include <string>

#include "platform/wintypes.h"

constexpr UINT WM_POSTERROR = 0x52D; // WM_USER + 301

// wParam of a notice with lParam 0; the main window words them itself.
constexpr unsigned POSTERROR_PARTY_MISMATCH = 1; // a TCP hello of another party
constexpr unsigned POSTERROR_FRAME_ERROR = 3;    // a TCP link sent a bad frame
// lParam of a free-text notice (wParam 1), and of a warning (wParam 2).
constexpr long POSTERROR_FREE_TEXT = 1;
constexpr unsigned POSTERROR_WARNING = 2;

// One posted notice. Each carries its own text, so two notices posted before
// the window gets to them show their own texts.
struct PostedNotice {
    UINT message = WM_POSTERROR;
    unsigned wParam = 0;
    long lParam = 0;
    std::string text;
};

class CPostError {
public:
    using Target = std::function<void(const PostedNotice&)>;

    // The one poster, made on first use.
    static CPostError* getInstance();
    // Ends the poster when the application ends; notices still under way
    // are dropped.
    static void destroyInstance();

    virtual ~CPostError();

    // The main window registers itself as the target; until then nothing is
    // posted. An empty target stops delivery (notices under way included).
    void setTarget(Target target);
    bool hasTarget() const { return static_cast<bool>(m_target); }

    // Posts notice `code` (lParam 0) with the text; the transports pass an
    // empty text and the window picks its wording by the code.
    void postError(unsigned code, const char* text);
    // kind 1: posts a free-text notice (wParam 1, lParam 1); any other kind
    // posts nothing.
    void postErrorText(int kind, const char* text);
    // Posts a free-text warning (wParam 2, lParam 1): something the user
    // has to mend, which the window says where it says the start's
    // warnings (a message box, standard error without a screen) as well as
    // in its status label. Callers post each once, not at every retry.
    void postWarning(const char* text);
    // The text of the latest free-text notice.
    std::string getErrorText() const { return m_text2; }

private:
    CPostError();
    void post(unsigned wParam, long lParam, std::string text);
    void deliver(const PostedNotice& notice);

    Target m_target; // stands where the window handle stood
    unsigned m_serial; // tells this poster's notices from an earlier one's
    std::string m_text;
    std::string m_text2;
    static CPostError* s_instance;
    static unsigned s_serials;
};
