#include "transport/skype_link.h"

#include "skype/a2a_model.h"
#include "skype/skype_com.h"
#include "skype/skype_model.h"
#include "skype/skype_text.h"
#include "transport/transfer.h"

namespace {

// Application 0 carries the node protocol.
constexpr int APP = 0;

bool usable(const char* skypeId)
{
    return skypeId && isUsableSkypeId(skypeId);
}

} // namespace

CSkypeLink::~CSkypeLink()
{
    release();
}

void CSkypeLink::initialize(HWND window, const std::string& applicationName, CTransfer* facade)
{
    m_pSkypeCom = ZQ_SKYPECOM::getInstance();
    m_pSkypeCom->addUser(facade);
    m_pSkypeModel = ZQ_SKYPEMODEL::getInstance();
    m_pSkypeModel->addListener(facade);
    m_pA2AModel = ZQ_A2AMODEL::getInstance();
    m_pA2AModel->addListener(facade);
    m_pA2AModel->setApplicationName(APP, applicationName.c_str());
    m_pSkypeCom->createWindow(window);
}

void CSkypeLink::changeApplication(const std::string& applicationName)
{
    if (!m_pA2AModel)
        return;
    m_pA2AModel->deleteApplications();
    m_pA2AModel->setApplicationName(APP, applicationName.c_str());
    m_pA2AModel->createApplications();
}

void CSkypeLink::release()
{
    if (!m_pSkypeCom)
        return;
    ZQ_A2AMODEL::destroyInstance();
    m_pA2AModel = nullptr;
    ZQ_SKYPEMODEL::destroyInstance();
    m_pSkypeModel = nullptr;
    ZQ_SKYPECOM::destroyInstance();
    m_pSkypeCom = nullptr;
}

int CSkypeLink::getStatus()
{
    return m_pSkypeCom ? m_pSkypeCom->getStatus() : 0;
}

int CSkypeLink::getContactCount()
{
    return m_pSkypeModel ? m_pSkypeModel->getContactCount() : 0;
}

const CONTACT* CSkypeLink::getContact(int i)
{
    return m_pSkypeModel ? m_pSkypeModel->getContact(i) : nullptr;
}

std::string CSkypeLink::getSkypeId()
{
    return m_pSkypeModel ? m_pSkypeModel->getCurrentUserHandle() : std::string();
}

int CSkypeLink::isConnectable(const char* skypeId)
{
    return m_pSkypeModel && usable(skypeId) ? m_pSkypeModel->isConnectable(APP, skypeId) : 0;
}

int CSkypeLink::isConnected(const char* skypeId)
{
    return m_pA2AModel && usable(skypeId) ? m_pA2AModel->isConnected(APP, skypeId) : 0;
}

void CSkypeLink::connect(const char* skypeId)
{
    if (m_pA2AModel && usable(skypeId))
        m_pA2AModel->connect(APP, skypeId);
}

void CSkypeLink::disconnect(const char* skypeId)
{
    if (m_pA2AModel && usable(skypeId))
        m_pA2AModel->disconnect(APP, skypeId);
}

void CSkypeLink::requestSync(const char* skypeId, int mode, SYSTEMTIME since)
{
    if (m_pA2AModel && usable(skypeId))
        m_pA2AModel->requestSync(APP, skypeId, mode, since);
}

void CSkypeLink::linkLost()
{
    if (m_pA2AModel)
        m_pA2AModel->closeAllStreams();
    if (m_pSkypeModel)
        m_pSkypeModel->reset();
}
