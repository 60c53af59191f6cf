#include "transport/transfer.h"

#include <cstdio>

#include "platform/cp932.h"
#include "protocol/post_error.h"
#include "skype/skype_text.h"
#include "store/settings.h"
#include "tcp/tcp_a2a_model.h"
#include "transport/skype_link.h"

namespace {

CPropatyTandrel& settings()
{
    return *CPropatyTandrel::getInstance();
}

std::string applicationName(const char* party)
{
    return std::string("YUVO000") + (party ? party : "");
}

} // namespace

CTransfer::CTransfer() : m_pSkype(CSkypeSide::nullSide())
{
    ZQ_EVENTLOG::getInstance()->addListener(this);
    ZQ_EVENTCATALOG::getInstance()->addListener(this);
}

CTransfer::~CTransfer()
{
    release();
}

void CTransfer::addListener(CTransferListener* listener)
{
    m_listeners.push_back(listener);
}

void CTransfer::setSkypeSide(CSkypeSide* side)
{
    m_pSkype = side ? side : CSkypeSide::nullSide();
}

void CTransfer::initialize(HWND window)
{
    if (m_pSkype == CSkypeSide::nullSide()) {
        m_ownSkype = std::make_unique<CSkypeLink>();
        m_pSkype = m_ownSkype.get();
    }
    m_pSkype->initialize(window, applicationName(settings().getPartyName()), this);
    m_pTcpModel = CTcpA2AModel::getInstance();
    m_pTcpModel->addListener(this);
    m_pTcpModel->setOwnerWnd(window);
}

void CTransfer::changeParty(const char* partyName)
{
    m_pSkype->changeApplication(applicationName(partyName));
}

// --- Listening -----------------------------------------------------------------

int CTransfer::tryListen()
{
    if (CPropatyTandrel::switches().clientOnly)
        return 1; // asked for, and no socket listens
    if (!m_pTcpModel)
        return 0;
    if (m_pTcpModel->startListen()) {
        m_listenFailureSaid = false;
        return 1;
    }
    std::printf("●●ERROR　CTransfer::startListen() TCP listening failed; tried again at the next connect pass\n");
    if (!m_listenFailureSaid) {
        m_listenFailureSaid = true;
        sayListenFailure(settings().getListenPort(), m_pTcpModel->lastListenError());
    }
    return 0;
}

void CTransfer::sayListenFailure(int port, int error)
{
    char why[200];
    if (error == WSAEADDRINUSE)
        std::snprintf(why, sizeof why, "待ち受けポート %d は他のプログラムが使用中のため", port);
    else if (error == WSAEACCES)
        std::snprintf(why, sizeof why, "待ち受けポート %d を使う権限がないため", port);
    else
        std::snprintf(why, sizeof why, "待ち受けポート %d でエラー %d が起きたため", port, error);
    const std::string text = std::string(why)
        + "、TCP接続を待ち受けできません。このノードは約 10 秒ごとに待ち受けを試み直し、その間も接続先へは接続します。";
    CPostError::getInstance()->postWarning(cp932::fromUtf8(text).value_or("").c_str());
}

void CTransfer::startListen()
{
    m_listenAsked = 1;
    if (m_listening == 0)
        m_listening = tryListen();
}

void CTransfer::stopListen()
{
    if (m_listenAsked == 0)
        return;
    m_listenAsked = 0;
    m_listening = 0;
    if (m_pTcpModel)
        m_pTcpModel->stopListen();
}

void CTransfer::release()
{
    m_listeners.clear();
    CTcpA2AModel::releaseInstance();
    m_pTcpModel = nullptr;
    m_listening = 0;
    m_listenAsked = 0;
    m_pSkype->release();
    m_pSkype = CSkypeSide::nullSide();
    m_ownSkype.reset();
    ZQ_EVENTLOG::destroyInstance();
    ZQ_EVENTCATALOG::destroyInstance();
}

// --- Messaging-client side -----------------------------------------------------

int CTransfer::getSkypeStatus()
{
    return m_pSkype->getStatus();
}

int CTransfer::getContactCount()
{
    return m_pSkype->getContactCount();
}

const CONTACT* CTransfer::getContact(int i)
{
    return m_pSkype->getContact(i);
}

std::string CTransfer::getSkypeId()
{
    return m_pSkype->getSkypeId();
}

// --- Row operations ------------------------------------------------------------

CTransfer::Carrier CTransfer::carrierOf(int i)
{
    const char* word = settings().getRecTransport(i);
    if (cp932::compare(word, "SKYPE") == 0)
        return Carrier::Skype;
    if (cp932::compare(word, "TCP") == 0)
        return Carrier::Tcp;
    return Carrier::None;
}

int CTransfer::isConnected(int i)
{
    switch (carrierOf(i)) {
    case Carrier::Skype:
        return m_pSkype->isConnected(settings().getRecSkypeId(i));
    case Carrier::Tcp:
        return m_pTcpModel ? m_pTcpModel->isConnected(settings().getRecName(i), settings().getRecHost(i)) : 0;
    case Carrier::None:
        break;
    }
    return 0;
}

bool CTransfer::isDiallableTcpRow(int i)
{
    return setting::isUsableHostName(settings().getRecHostName(i));
}

int CTransfer::isReachable(int i)
{
    switch (carrierOf(i)) {
    case Carrier::Skype:
        return m_pSkype->isConnectable(settings().getRecSkypeId(i));
    case Carrier::Tcp:
        return isDiallableTcpRow(i) ? 1 : 0;
    case Carrier::None:
        break;
    }
    return 0;
}

void CTransfer::connect(int i)
{
    switch (carrierOf(i)) {
    case Carrier::Skype:
        m_pSkype->connect(settings().getRecSkypeId(i));
        break;
    case Carrier::Tcp:
        if (!CPropatyTandrel::switches().serverOnly && m_pTcpModel && isDiallableTcpRow(i)) {
            // Each getter's buffer lasts until its next call: take copies.
            const std::string name = settings().getRecName(i);
            const std::string host = settings().getRecHost(i);
            m_pTcpModel->connect(name.c_str(), host.c_str(), static_cast<UINT>(settings().getRecPort(i)));
        }
        break;
    case Carrier::None:
        break;
    }
}

void CTransfer::disconnect(int i)
{
    switch (carrierOf(i)) {
    case Carrier::Skype:
        m_pSkype->disconnect(settings().getRecSkypeId(i));
        break;
    case Carrier::Tcp:
        if (m_pTcpModel) {
            const std::string name = settings().getRecName(i);
            const std::string host = settings().getRecHost(i);
            m_pTcpModel->disconnect(name.c_str(), host.c_str());
        }
        break;
    case Carrier::None:
        break;
    }
}

void CTransfer::requestSync(int i, int mode, SYSTEMTIME since)
{
    switch (carrierOf(i)) {
    case Carrier::Skype:
        m_pSkype->requestSync(settings().getRecSkypeId(i), mode, since);
        break;
    case Carrier::Tcp:
        if (m_pTcpModel) {
            const std::string name = settings().getRecName(i);
            const std::string host = settings().getRecHost(i);
            m_pTcpModel->requestSync(name.c_str(), host.c_str(), mode, since);
        }
        break;
    case Carrier::None:
        break;
    }
}

// --- Events --------------------------------------------------------------------

void CTransfer::onStatus(int status)
{
    for (std::size_t i = 0; i < m_listeners.size(); ++i)
        m_listeners[i]->onSkypeStateChanged();
    if (status == 0)
        m_pSkype->linkLost();
}

void CTransfer::onModelChanged()
{
    for (std::size_t i = 0; i < m_listeners.size(); ++i)
        m_listeners[i]->onModelChanged();
}

void CTransfer::onConnectionsChanged()
{
    for (std::size_t i = 0; i < m_listeners.size(); ++i)
        m_listeners[i]->onConnectionsChanged();
    const int rows = settings().getConnectNum();
    int connected = 0;
    for (int i = 0; i < rows; ++i)
        if (isConnected(i) != 0)
            ++connected;
    for (std::size_t i = 0; i < m_listeners.size(); ++i)
        m_listeners[i]->onConnectedChanged(connected > 0 ? 1 : 0);
}

void CTransfer::onEvent(int a, int b)
{
    for (std::size_t i = 0; i < m_listeners.size(); ++i)
        m_listeners[i]->onEventLog(a, b);
}

void CTransfer::onRecord(const CatalogRecord* rec)
{
    for (std::size_t i = 0; i < m_listeners.size(); ++i)
        m_listeners[i]->onCatalogAdd(rec);
}

void CTransfer::onRecordAt(int index, const CatalogRecord* rec)
{
    for (std::size_t i = 0; i < m_listeners.size(); ++i)
        m_listeners[i]->onCatalogUpdate(index, rec);
}

void CTransfer::onReset()
{
    for (std::size_t i = 0; i < m_listeners.size(); ++i)
        m_listeners[i]->onCatalogClear();
}

bool CTransfer::isUsableSkypeId(const std::string& id)
{
    return ::isUsableSkypeId(id);
}
