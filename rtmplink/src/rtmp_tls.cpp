// The verified TLS session of an rtmps:// connection, set up here and handed to librtmp.
#include "rtmp_session.h"

#include <librtmp/log.h>

#include <cstdlib>

namespace rtmplink {

void LibRtmpConnection::FreeTlsCredentials() {
    if (m_tlsCred) gnutls_certificate_free_credentials(m_tlsCred);
    m_tlsCred = nullptr;
}

bool LibRtmpConnection::TlsConnect(const std::string& host) {
    RTMP* r = m_rtmp;
    FreeTlsCredentials();
    const char* reason = nullptr;
    gnutls_session_t session = nullptr;
    int rc = gnutls_certificate_allocate_credentials(&m_tlsCred);
    if (rc >= 0 && gnutls_certificate_set_x509_system_trust(m_tlsCred) < 0) {
        RTMP_Log(RTMP_LOGWARNING, "%s, TLS: the system trust store could not be read", __FUNCTION__);
    }
    const char* extra = getenv("STREAMCORE_CA_FILE");
    if (rc >= 0 && extra && *extra &&
        gnutls_certificate_set_x509_trust_file(m_tlsCred, extra, GNUTLS_X509_FMT_PEM) <= 0) {
        RTMP_Log(RTMP_LOGERROR, "%s, TLS: no CA certificate could be read from STREAMCORE_CA_FILE=%s", __FUNCTION__,
                 extra);
    }
    if (rc >= 0) rc = gnutls_init(&session, GNUTLS_CLIENT | GNUTLS_NO_TICKETS);
    // TLS 1.2 at most: librtmp reads through gnutls_record_recv and takes any result other than
    // data or -1 as a broken connection, and under TLS 1.3 the session tickets the server sends
    // after the handshake come back from it as GNUTLS_E_AGAIN on a blocking socket.
    if (rc >= 0) rc = gnutls_priority_set_direct(session, "NORMAL:-VERS-TLS1.3", nullptr);
    if (rc >= 0) rc = gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, m_tlsCred);
    if (rc >= 0 && !IsAddressLiteral(host)) {
        rc = gnutls_server_name_set(session, GNUTLS_NAME_DNS, host.data(), host.size());
    }
    if (rc < 0) {
        RTMP_Log(RTMP_LOGERROR, "%s, TLS: session set-up failed: %s", __FUNCTION__, gnutls_strerror(rc));
        if (session) gnutls_deinit(session);
        RTMP_Close(r);
        return false;
    }
    // Checked against the host name during the handshake.
    gnutls_session_set_verify_cert(session, host.c_str(), 0);
    gnutls_transport_set_int(session, r->m_sb.sb_socket);
    gnutls_handshake_set_timeout(session, kTlsHandshakeMs);
    do {
        rc = gnutls_handshake(session);
    } while (rc < 0 && !gnutls_error_is_fatal(rc) && !Aborted());
    if (rc < 0) {
        gnutls_datum_t why = {nullptr, 0};
        if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR &&
            gnutls_certificate_verification_status_print(gnutls_session_get_verify_cert_status(session),
                                                         GNUTLS_CRT_X509, &why, 0) >= 0) {
            reason = reinterpret_cast<const char*>(why.data);
        }
        RTMP_Log(RTMP_LOGERROR, "%s, TLS: the handshake with %s failed: %s", __FUNCTION__, host.c_str(),
                 reason ? reason : gnutls_strerror(rc));
        if (why.data) gnutls_free(why.data);
        gnutls_deinit(session);
        RTMP_Close(r);
        return false;
    }
    // librtmp reads and writes through this session from now on, and ends and frees it in
    // RTMP_Close; it must not run a handshake of its own.
    r->m_sb.sb_ssl = session;
    r->Link.protocol &= ~RTMP_FEATURE_SSL;
    return true;
}


}  // namespace rtmplink
