#include "protocol/post_error.h"

#include "platform/qt/main_thread.h"

CPostError* CPostError::s_instance = nullptr;
unsigned CPostError::s_serials = 0;

CPostError* CPostError::getInstance()
{
    if (!s_instance)
        s_instance = new CPostError;
    return s_instance;
}

void CPostError::destroyInstance()
{
    delete s_instance;
    s_instance = nullptr;
}

CPostError::CPostError() : m_serial(++s_serials) {}

CPostError::~CPostError() = default;

void CPostError::setTarget(Target target)
{
    m_target = std::move(target);
}

void CPostError::postError(unsigned code, const char* text)
{
    if (!m_target)
        return;
    m_text = text ? text : "";
    post(code, 0, m_text);
}

void CPostError::postErrorText(int kind, const char* text)
{
    if (!m_target || kind != 1)
        return;
    m_text2 = text ? text : "";
    post(1, POSTERROR_FREE_TEXT, m_text2);
}

void CPostError::postWarning(const char* text)
{
    if (m_target)
        post(POSTERROR_WARNING, POSTERROR_FREE_TEXT, text ? text : "");
}

void CPostError::post(unsigned wParam, long lParam, std::string text)
{
    PostedNotice notice;
    notice.wParam = wParam;
    notice.lParam = lParam;
    notice.text = std::move(text);
    // Delivered to the target that stands when the loop gets to it: a
    // window or a poster that has gone by then gets nothing.
    platform::postToMainThread([notice = std::move(notice), serial = m_serial] {
        if (s_instance && s_instance->m_serial == serial)
            s_instance->deliver(notice);
    });
}

void CPostError::deliver(const PostedNotice& notice)
{
    if (m_target)
        m_target(notice);
}
