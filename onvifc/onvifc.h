/* libonvifc: reads the stream addresses of an ONVIF device.
 *
 * Onvif_GetStreamUri asks the device service at `uri` (http or https) for its media profiles and the RTSP
 * address of each, and writes a NUL-terminated XML document into `buf`:
 *
 *   <Onvif_GetStreamUri><item><Name/><Token/><Uri/><UriPTZ/><Source/><Encoding/><Width/><Height/></item>
 *   ...</Onvif_GetStreamUri>
 *
 * one item per video profile (a profile with a video encoder configuration), in the device's order but
 * with the profiles of the first video source (the source of its first video profile) first, then those
 * of the next source, and so on, so that the first two items are a main and a sub stream of one camera.
 * Each item also carries, after UriPTZ, what its stream is: <Source> (the video source token),
 * <Encoding> (H264, H265, JPEG, MPEG4) and <Width> and <Height>, when the device says. A device with no
 * video profile fails with ONVIF_ERR_NO_PROFILES. Returns the number of items (>= 0), or one of the
 * negative codes below; on failure `buf` is left untouched. When the whole document would not fit into
 * `size` bytes, it holds as many whole items as fit, from the first, and that number is returned;
 * ONVIF_ERR_RESULT_TOO_LARGE only when not even the first item fits.
 *
 * Every item's address was asked for and answered: a request lost to the network, the time limit or
 * the credentials fails the whole call with its code. The one exception is a profile the device itself
 * answers with a SOAP fault (for example an audio-only or metadata profile, which has no video stream):
 * that item's Uri is empty and the others are still given. When every profile answers a fault, the
 * call fails with ONVIF_ERR_DEVICE_FAULT.
 *
 * Credentials: a non-empty `user` with a non-empty `password` is sent as a WS-UsernameToken digest and,
 * when the device asks for it, as HTTP Digest; never in clear, and only to the host named in `uri`. A
 * user name without a password is not tried as a login. A service the device advertises
 * on another host is looked for on that host instead. A user part written into `uri` is never sent; it
 * stands in for `user` and `password` when both of those are empty.
 *
 * HTTPS: every request of a call to an https address goes over https; a media service the device
 * advertises at http:// is asked for at its path over the address's https host and port, and when it
 * does not answer there the call fails (ONVIF_ERR_SERVICE_WITHOUT_TLS) rather than go on in clear.
 * The device's certificate is accepted as it is (cameras make their own). When the environment
 * variable ONVIFC_CA_FILE names a PEM file of trusted certificates, the device must present a
 * certificate for its address signed by one of them.
 *
 * The call takes at most about 15 seconds, keeps nothing between calls and is safe from any thread.
 */
#ifndef ONVIFC_H
#define ONVIFC_H

#ifdef __cplusplus
extern "C" {
#endif

#define ONVIFC_API __attribute__((visibility("default")))

enum OnvifcResult {
    ONVIF_OK = 0,
    ONVIF_ERR_INVALID_ARGUMENT = -1,
    ONVIF_ERR_UNSUPPORTED_ADDRESS = -2,
    ONVIF_ERR_CANNOT_CONNECT = -3,
    ONVIF_ERR_TIMED_OUT = -4,
    ONVIF_ERR_NOT_AUTHORIZED = -5,
    ONVIF_ERR_UNEXPECTED_REPLY = -6,
    ONVIF_ERR_NO_PROFILES = -7,
    ONVIF_ERR_RESULT_TOO_LARGE = -8,
    ONVIF_ERR_CERTIFICATE_REFUSED = -9,
    ONVIF_ERR_DEVICE_FAULT = -10,
    ONVIF_ERR_REPLY_CUT_SHORT = -11,
    ONVIF_ERR_SERVICE_ELSEWHERE = -12,
    ONVIF_ERR_SERVICE_WITHOUT_TLS = -13,
    ONVIF_ERR_NO_SNAPSHOT = -14
};

ONVIFC_API int Onvif_GetStreamUri(char* buf, int size, const char* uri, const char* user,
                                  const char* password);

/* The same call with what a site's inventory records of the device, in the same login: the document has,
 * before its items,
 *
 *   <Inventory><Manufacturer/><Model/><Firmware/><Serial/><HardwareId/><Mac/><Ntp/>
 *   <ClockOffsetSeconds/><Open/></Inventory>
 *
 * from GetDeviceInformation, GetNetworkInterfaces (the MAC of the interface that holds the address in
 * `uri`, else of the first enabled one) and GetNTP ("DHCP", or the servers set), asked in the round of the
 * stream addresses, after the device has taken the credentials: a wrong password costs one refusal, as for
 * Onvif_GetStreamUri, and these cost no round trip of their own. ClockOffsetSeconds is the device's UTC
 * minus ours (empty when it would not tell its time); Open is "true" when no credentials were sent and the
 * profiles came all the same. A field the device does not give stays empty; it never fails the call. */
ONVIFC_API int Onvif_GetInventory(char* buf, int size, const char* uri, const char* user,
                                  const char* password);

/* A still picture of what the device sees: asks the media service for GetSnapshotUri of the first video
 * profile (the one Onvif_GetStreamUri lists first) and fetches that address over HTTP or HTTPS. Writes
 * the JPEG into `buffer` and returns its length, or a negative code (ONVIF_ERR_RESULT_TOO_LARGE when it
 * does not fit into `size` bytes; ONVIF_ERR_NO_SNAPSHOT when the device does not serve snapshots).
 *
 * The picture is at most 4 MiB and fetched within 10 s; its body must begin as a JPEG does (FF D8 FF),
 * whatever its Content-Type says, and end as one does (FF D9, then at most white space or zero bytes):
 * a picture without its end is cut short (ONVIF_ERR_REPLY_CUT_SHORT), never given as whole. Credentials go as
 * for Onvif_GetStreamUri, and to the picture only by HTTP Digest (a device that offers Basic only is not sent
 * the password), only to the host named in `uri`: a snapshot address on another host is tried on that host,
 * as a media service is. One attempt: a challenge is answered once. The whole call takes at most about 15
 * seconds. */
ONVIFC_API int Onvif_GetSnapshot(const char* uri, const char* user, const char* password,
                                 unsigned char* buffer, int size);

/* Whether stream addresses play: one RTSP DESCRIBE to each (never SETUP or PLAY, so no stream slot of
 * the camera is taken), up to 4 at once, each over a connection of its own and within 5 s. Credentials
 * go only by RTSP Digest and only to the host of `deviceUri`, the device address the user gave: a
 * stream on another host is asked without them (a 401 there is ONVIF_STREAM_OTHER_HOST), a server that
 * offers only Basic is not sent the password (ONVIF_STREAM_BASIC_ONLY). One attempt per stream: a
 * DESCRIBE and, when challenged, one answer to the challenge; never another try. The credentials are
 * answered to one stream at a time until the device has taken them once; once it refuses them, none of
 * its other streams is sent them (ONVIF_STREAM_NOT_TRIED): one call costs at most one failed login.
 * `results` receives `count` entries; returns how many streams play, or ONVIF_ERR_INVALID_ARGUMENT. */
enum OnvifStreamState {
    ONVIF_STREAM_NOT_CHECKED = 0, /* an address the check does not speak (rtsps://, no host) */
    ONVIF_STREAM_PLAYS = 1,       /* 200 with an SDP that has video */
    ONVIF_STREAM_CREDENTIALS_REFUSED = 2,
    ONVIF_STREAM_BASIC_ONLY = 3,
    ONVIF_STREAM_OTHER_HOST = 4,
    ONVIF_STREAM_NOT_FOUND = 5,  /* 404 or 454 */
    ONVIF_STREAM_NO_SERVER = 6,  /* connection refused or no route */
    ONVIF_STREAM_NO_ANSWER = 7,  /* nothing in time */
    ONVIF_STREAM_BAD_ANSWER = 8, /* anything else; the detail says what came */
    ONVIF_STREAM_NOT_TRIED = 9   /* the device refused the credentials for another of its streams */
};

typedef struct OnvifStreamCheck {
    int state;         /* an OnvifStreamState */
    char encoding[16]; /* from the SDP: "H264", "H265", "JPEG", "MPEG4"; empty when unknown */
    int width;         /* from the stream's parameter sets or the SDP; 0 when unknown */
    int height;
    char detail[256]; /* what came, in words, when it does not play */
} OnvifStreamCheck;

ONVIFC_API int Onvif_CheckStreams(const char* const* uris, int count, const char* deviceUri, const char* user,
                                  const char* password, OnvifStreamCheck* results);

/* "plays", "credentials-refused", "basic-only", "other-host", "not-found", "no-server", "no-answer",
 * "bad-answer", "not-tried" or "not-checked"; never NULL. */
ONVIFC_API const char* Onvif_StreamStateName(int state);

/* One English line for a result code; never NULL. For the code that the last failed call on this
 * thread returned, the line names the cause in detail (what refused or cut the connection, the
 * device's own fault reason); it stays valid until the next call on this thread. */
ONVIFC_API const char* Onvif_ErrorText(int code);

#ifdef __cplusplus
}
#endif

#endif
