#include "casttitle.h"
#include "caststats.h"
#include "casttext.h"
#include "titletext.h"
#include "wllog.h"

TitleSender::TitleSender(CastAddress address, std::string password, OutcomeFn onOutcome)
    : m_address(std::move(address)), m_password(std::move(password)),
      m_onOutcome(std::move(onOutcome))
{
    m_thread = std::thread([this] { run(); });
}

TitleSender::~TitleSender()
{
    stop();
}

void TitleSender::set(const std::string& title)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_quit)
            return;
        m_pending = title;
    }
    m_cv.notify_all();
}

void TitleSender::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_cancel.store(true);
    m_cv.notify_all();
    std::lock_guard lock(m_stopMutex);
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

std::string TitleSender::requestPath(const CastAddress& a, const std::string& password,
                                     const std::string& typed)
{
    // Players show what the server keeps: typographic punctuation would become '?' (single
    // bytes) or an HTML entity (a mount of the default charset).
    const std::string title = withPlainPunctuation(typed);
    if (a.shoutcast) {
        // A SHOUTcast server takes its title as single bytes.
        std::string text = casttext::utf8ToLatin1(casttext::cleanTitle(title, std::string::npos));
        if (text.size() > casttext::maxTitleBytes)
            text.resize(casttext::maxTitleBytes);
        return "/admin.cgi?mode=updinfo&pass=" + urlEncode(password) +
               "&mount=" + urlEncode(a.mount) + "&song=" + urlEncode(text);
    }
    return "/admin/metadata?mode=updinfo&mount=" + urlEncode(a.mount) +
           "&charset=UTF-8&song=" + urlEncode(casttext::cleanTitle(title));
}

void TitleSender::run()
{
    for (;;) {
        std::string title;
        {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [this] { return m_quit || m_pending; });
            if (m_quit)
                return;
            title = std::move(*m_pending);
            m_pending.reset();
        }
        const std::string path = requestPath(m_address, m_password, title);
        std::string why;
        const auto askedAt = std::chrono::steady_clock::now();
        const auto answer = m_address.shoutcast
                                ? httpGet(m_address.host, m_address.port, path, "", "",
                                          updateTimeoutMs, &why, &m_cancel)
                                : httpGet(m_address.host, m_address.port, path, "source",
                                          m_password, updateTimeoutMs, &why, &m_cancel);
        if (m_cancel.load())
            return;
        if (m_onOutcome)
            m_onOutcome(answer.has_value(), askedAt);
        if (answer && answer->status >= 200 && answer->status < 300) {
            ++m_sent;
            continue;
        }
        ++m_failed;
        if (answer)
            why = "the server answered " + std::to_string(answer->status);
        qCWarning(lcCast).noquote()
            << QStringLiteral("title update to %1:%2%3 abandoned: %4")
                   .arg(QString::fromStdString(m_address.host))
                   .arg(m_address.port)
                   .arg(QString::fromStdString(m_address.mount), QString::fromStdString(why));
    }
}
