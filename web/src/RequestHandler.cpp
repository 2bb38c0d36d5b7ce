#include "RequestHandler.h"

#include "ApiRequests.h"
#include "RecorderReports.h"
#include "StaticFiles.h"
#include "platform/Files.h"

#include <boost/asio/post.hpp>
#include <boost/beast/http/field.hpp>

#include <QJsonDocument>

#include <algorithm>
#include <cctype>

namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::awaitable;
using asio::use_awaitable;

struct RequestHandler::Call {
    Request request;
    std::string client;
    std::string path;                         // the target without its query
    std::optional<SessionStore::Session> session;
};

namespace {

using Response = RequestHandler::Response;

Response respond(http::status status, std::string body, std::string_view type) {
    Response response{status, 11};
    response.set(http::field::content_type, std::string(type));
    response.set(http::field::cache_control, "no-store");
    response.body() = std::move(body);
    return response;
}

Response json(const QJsonObject& object, http::status status = http::status::ok) {
    return respond(status, QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(), "application/json");
}

Response error(http::status status, const std::string& message, const std::string& field = {}) {
    QJsonObject body{{"error", QString::fromStdString(message)}};
    if (!field.empty()) body["field"] = QString::fromStdString(field);
    return json(body, status);
}

Response notAnswering() { return error(http::status::gateway_timeout, "recorder not answering"); }
Response unexpected() { return error(http::status::bad_gateway, "unexpected reply from the recorder"); }
Response refusedWhileRecording(const std::string& field) {
    return error(http::status::conflict, "refused while recording", field);
}

std::string lower(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), [](unsigned char c) { return std::tolower(c); });
    return result;
}

// An Origin is "scheme://host[:port]"; it must name the host the request was sent to.
bool sameOrigin(const RequestHandler::Request& request) {
    const auto origin = request.find(http::field::origin);
    if (origin == request.end()) return true;
    const std::string_view value(origin->value().data(), origin->value().size());
    const size_t scheme = value.find("://");
    if (scheme == std::string_view::npos) return false;  // "null" among others
    const std::string_view host(request[http::field::host].data(), request[http::field::host].size());
    return !host.empty() && lower(value.substr(scheme + 3)) == lower(host);
}

std::string sessionCookie(const RequestHandler::Request& request) {
    for (auto field = request.find(http::field::cookie); field != request.end() && field->name() == http::field::cookie;
         ++field) {
        std::string_view cookies(field->value().data(), field->value().size());
        while (!cookies.empty()) {
            const size_t end = cookies.find(';');
            std::string_view cookie = cookies.substr(0, end);
            cookies = end == std::string_view::npos ? std::string_view{} : cookies.substr(end + 1);
            while (!cookie.empty() && cookie.front() == ' ') cookie.remove_prefix(1);
            if (cookie.starts_with("qva_session=")) return std::string(cookie.substr(12));
        }
    }
    return {};
}

std::optional<QJsonObject> jsonBody(const RequestHandler::Request& request) {
    if (request.body().empty()) return QJsonObject{};
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(request.body()), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
    return document.object();
}

Response badBody() { return error(http::status::bad_request, "the body must be a JSON object"); }

std::string_view contentType(std::string_view name) {
    const size_t dot = name.rfind('.');
    const std::string_view extension = dot == std::string_view::npos ? "" : name.substr(dot);
    if (extension == ".html") return "text/html; charset=utf-8";
    if (extension == ".css") return "text/css; charset=utf-8";
    if (extension == ".js") return "text/javascript; charset=utf-8";
    if (extension == ".png") return "image/png";
    if (extension == ".svg") return "image/svg+xml";
    if (extension == ".ico") return "image/x-icon";
    if (extension == ".json") return "application/json";
    return "application/octet-stream";
}

constexpr const char* kCookieAttributes = "; HttpOnly; SameSite=Strict; Path=/";

}  // namespace

RequestHandler::RequestHandler(Options options)
    : options_(std::move(options)),
      recorder_(options_.socketPath, options_.recorderTimeout),
      passwords_(options_.stateDir),
      webSettings_(options_.stateDir),
      limiter_(options_.loginRules) {}

RequestHandler::~RequestHandler() { slowWork_.join(); }

size_t RequestHandler::bodyLimit(http::verb method, std::string_view target) {
    return method == http::verb::post && target == "/api/logo" ? kLogoLimit : kBodyLimit;
}

template <typename Work>
awaitable<std::invoke_result_t<Work&>> RequestHandler::offload(Work& work) {
    using Result = std::invoke_result_t<Work&>;
    co_return co_await asio::co_spawn(
        slowWork_, [&work]() -> awaitable<Result> { co_return work(); }, use_awaitable);
}

awaitable<Response> RequestHandler::handle(Request& request, const std::string& clientAddress) {
    Call call{std::move(request), clientAddress, {}, {}};
    const std::string_view target(call.request.target().data(), call.request.target().size());
    call.path = std::string(target.substr(0, target.find('?')));

    // GCC 12 mishandles co_await inside a conditional expression: plain statements only.
    Response response;
    if (!sameOrigin(call.request))
        response = error(http::status::forbidden, "request from another site");
    else if (call.path.starts_with("/api/"))
        response = co_await api(call);
    else
        response = page(call);
    response.set("X-Content-Type-Options", "nosniff");
    response.set("X-Frame-Options", "DENY");
    response.set("Referrer-Policy", "same-origin");
    co_return response;
}

Response RequestHandler::page(const Call& call) const {
    if (call.request.method() != http::verb::get) return respond(http::status::method_not_allowed, "", "text/plain");
    std::string name = call.path;
    if (name == "/") name = "/static/index.html";
    else if (name == "/drives" || name == "/settings" || name == "/login") name = "/static" + name + ".html";
    const auto& files = qva_web::staticFiles();
    const auto found = files.find(name);
    if (found == files.end()) return respond(http::status::not_found, "not found\n", "text/plain; charset=utf-8");
    Response response = respond(http::status::ok, std::string(found->second), contentType(name));
    response.set(http::field::cache_control, "no-cache");
    // Everything comes from the box itself; the pages carry small inline scripts and styles.
    response.set("Content-Security-Policy",
                 "default-src 'self'; script-src 'self' 'unsafe-inline'; style-src 'self' 'unsafe-inline'; "
                 "img-src 'self' data: blob:; frame-ancestors 'none'");
    return response;
}

awaitable<Response> RequestHandler::api(Call& call) {
    call.session = sessions_.find(sessionCookie(call.request));
    const http::verb method = call.request.method();
    const std::string& path = call.path;

    if (path == "/api/session" && method == http::verb::get)
        co_return json({{"loggedIn", call.session.has_value()},
                        {"readsOpen", webSettings_.readsOpen()},
                        {"csrf", call.session ? QJsonValue(QString::fromStdString(call.session->csrf)) : QJsonValue()}});
    if (path == "/api/login" && method == http::verb::post) co_return co_await login(call);

    if (method == http::verb::post) {
        if (!call.session) co_return error(http::status::unauthorized, "log in first");
        const auto token = call.request.find("X-CSRF-Token");
        if (token == call.request.end() ||
            !SessionStore::tokenMatches(*call.session, std::string(token->value().data(), token->value().size())))
            co_return error(http::status::forbidden, "the request lacks this session's token");
        if (path == "/api/logout") {
            sessions_.remove(call.session->id);
            Response response = json({});
            response.set(http::field::set_cookie, std::string("qva_session=; Max-Age=0") + kCookieAttributes);
            co_return response;
        }
        if (path == "/api/password") co_return co_await changePassword(call);
        if (path == "/api/web-settings") {
            const auto body = jsonBody(call.request);
            if (!body) co_return badBody();
            if (!(*body)["readsOpen"].isBool()) co_return error(http::status::bad_request, "must be true or false", "readsOpen");
            const bool open = (*body)["readsOpen"].toBool();
            auto store = [this, open] { return webSettings_.setReadsOpen(open); };
            const bool stored = co_await offload(store);
            if (!stored) co_return error(http::status::internal_server_error, "the setting could not be stored");
            co_return json({});
        }
        if (path == "/api/drives/rec") co_return co_await driveAction(call, "REC");
        if (path == "/api/drives/stop") co_return co_await driveAction(call, "STP");
        if (path == "/api/drives/format") co_return co_await format(call);
        if (path == "/api/settings") co_return co_await settings(call);
        if (path == "/api/logo") co_return co_await logo(call);
        if (path == "/api/clock" || path == "/api/network") {
            const auto body = jsonBody(call.request);
            if (!body) co_return badBody();
            const bool clock = path == "/api/clock";
            auto request = clock ? qva_web::clockRequest(*body) : qva_web::networkRequest(*body);
            if (const auto* refused = std::get_if<qva_web::Refusal>(&request))
                co_return error(http::status::bad_request, refused->message, refused->field);
            const char* refusal = clock ? "the recorder refused the date or time" : "the recorder refused the network settings";
            co_return co_await send(call, std::get<std::string>(request), refusal);
        }
    } else if (method == http::verb::get) {
        if (!call.session && !webSettings_.readsOpen()) co_return error(http::status::unauthorized, "log in first");
        if (path == "/api/status") co_return co_await status(call);
        if (path == "/api/drives") co_return co_await drives(call);
        if (path == "/api/levels") co_return co_await simpleReport(call, "GET#LEVEL#", qva_web::levelsJson);
        if (path == "/api/network") co_return co_await simpleReport(call, "GET#NET#", qva_web::networkJson);
        if (path == "/api/preview.jpg") co_return co_await preview(call);
    }
    co_return error(http::status::not_found, "no such request");
}

awaitable<Response> RequestHandler::login(Call& call) {
    const auto body = jsonBody(call.request);
    if (!body) co_return badBody();
    if (!(*body)["password"].isString()) co_return error(http::status::bad_request, "a password is needed", "password");
    // Counted as a failure until it succeeds, so parallel guesses see each other.
    const long wait = limiter_.attempt(call.client);
    if (wait > 0) {
        Response response = json({{"error", QString("too many login attempts; try again in %1 s").arg(wait)},
                                   {"retryAfter", qint64(wait)}},
                                  http::status::too_many_requests);
        response.set(http::field::retry_after, std::to_string(wait));
        co_return response;
    }
    const std::string password = (*body)["password"].toString().toStdString();
    auto check = [this, &password] { return passwords_.verify(password); };
    const bool right = co_await offload(check);
    if (!right) co_return error(http::status::unauthorized, "wrong password", "password");
    limiter_.succeeded(call.client);
    if (call.session) sessions_.remove(call.session->id);
    const SessionStore::Session session = sessions_.create();
    Response response = json({{"csrf", QString::fromStdString(session.csrf)}});
    response.set(http::field::set_cookie, "qva_session=" + session.id + kCookieAttributes);
    co_return response;
}

awaitable<Response> RequestHandler::changePassword(Call& call) {
    const auto body = jsonBody(call.request);
    if (!body) co_return badBody();
    if (!(*body)["old"].isString()) co_return error(http::status::bad_request, "the current password is needed", "old");
    if (!(*body)["new"].isString()) co_return error(http::status::bad_request, "a new password is needed", "new");
    std::string old = (*body)["old"].toString().toStdString();
    std::string fresh = (*body)["new"].toString().toStdString();
    if (const auto weak = PasswordStore::weakness(fresh)) co_return error(http::status::bad_request, *weak, "new");
    const long wait = limiter_.attempt(call.client);
    if (wait > 0) co_return error(http::status::too_many_requests, "too many wrong passwords; try again in " +
                                                                       std::to_string(wait) + " s", "old");
    auto check = [this, &old] { return passwords_.verify(old); };
    const bool right = co_await offload(check);
    if (!right) co_return error(http::status::bad_request, "the current password is wrong", "old");
    limiter_.succeeded(call.client);
    auto store = [this, &fresh] { return passwords_.set(fresh); };
    const bool stored = co_await offload(store);
    if (!stored) co_return error(http::status::internal_server_error, "the password could not be stored");
    // Whoever knew the old password is logged out everywhere else.
    sessions_.removeAllBut(call.session->id);
    co_return json({});
}

awaitable<Response> RequestHandler::status(Call&) {
    const auto info = co_await recorder_.request("GET#INFO#");
    if (!info) co_return notAnswering();
    const auto usb = co_await recorder_.request("GET#USB#");
    if (!usb) co_return notAnswering();
    const auto drives = qva_web::parseDrives(*usb);
    const auto status = drives ? qva_web::statusJson(*info, *drives) : std::nullopt;
    if (!status) co_return unexpected();
    co_return json(*status);
}

awaitable<Response> RequestHandler::drives(Call&) {
    const auto usb = co_await recorder_.request("GET#USB#");
    if (!usb) co_return notAnswering();
    const auto drives = qva_web::parseDrives(*usb);
    if (!drives) co_return unexpected();
    co_return json(qva_web::drivesJson(*drives));
}

awaitable<Response> RequestHandler::simpleReport(Call&, const char* request,
                                                 std::optional<QJsonObject> (*parse)(std::string_view)) {
    const auto reply = co_await recorder_.request(request);
    if (!reply) co_return notAnswering();
    const auto body = parse(*reply);
    if (!body) co_return unexpected();
    co_return json(*body);
}

awaitable<Response> RequestHandler::send(Call&, std::string_view request, const char* refusal, std::string_view field) {
    const auto reply = co_await recorder_.request(request);
    if (!reply) co_return notAnswering();
    if (*reply != "OK") co_return error(http::status::conflict, refusal, std::string(field));
    co_return json({});
}

awaitable<Response> RequestHandler::driveAction(Call& call, const char* action) {
    const auto body = jsonBody(call.request);
    if (!body) co_return badBody();
    const auto id = qva_web::driveId(*body, true);
    if (const auto* refused = std::get_if<qva_web::Refusal>(&id))
        co_return error(http::status::bad_request, refused->message, refused->field);
    const char* refusal = std::string_view(action) == "REC" ? "the recorder did not start recording"
                                                            : "the recorder did not stop recording";
    const std::string request = "SET#USB#" + std::to_string(std::get<int>(id)) + "#" + action + "#";
    co_return co_await send(call, request, refusal);
}

awaitable<Response> RequestHandler::format(Call& call) {
    const auto body = jsonBody(call.request);
    if (!body) co_return badBody();
    const auto id = qva_web::driveId(*body, false);
    if (const auto* refused = std::get_if<qva_web::Refusal>(&id))
        co_return error(http::status::bad_request, refused->message, refused->field);
    const auto usb = co_await recorder_.request("GET#USB#");
    if (!usb) co_return notAnswering();
    const auto drives = qva_web::parseDrives(*usb);
    if (!drives) co_return unexpected();
    const auto drive = std::find_if(drives->begin(), drives->end(),
                                    [&](const qva_web::Drive& d) { return d.id == std::get<int>(id); });
    if (drive == drives->end()) co_return error(http::status::not_found, "no such drive", "id");
    if ((*body)["confirm"].toString().toStdString() != drive->label)
        co_return error(http::status::bad_request, "type the drive's label to confirm", "confirm");
    if (drive->recording) co_return refusedWhileRecording("id");
    const std::string request = "SET#USB#" + std::to_string(drive->id) + "#FMT#";
    co_return co_await send(call, request, "the recorder refused to format the drive");
}

awaitable<Response> RequestHandler::settings(Call& call) {
    const auto body = jsonBody(call.request);
    if (!body) co_return badBody();
    QJsonObject asked = *body;
    if (asked.contains("input") && !asked.contains("sd")) {
        // An input mode alone keeps today's output choice.
        const auto info = co_await recorder_.request("GET#INFO#");
        if (!info) co_return notAnswering();
        const auto status = qva_web::statusJson(*info, {});
        if (!status) co_return unexpected();
        asked["sd"] = (*status)["downConvert"].toBool();
    }
    const auto parsed = qva_web::settingChanges(asked);
    if (const auto* refused = std::get_if<qva_web::Refusal>(&parsed))
        co_return error(http::status::bad_request, refused->message, refused->field);
    const auto& changes = std::get<std::vector<qva_web::SettingChange>>(parsed);
    const auto capture = std::find_if(changes.begin(), changes.end(), [](const auto& c) { return c.capture; });
    if (capture != changes.end()) {
        // The recorder refuses these itself while recording; asking first gives the reason.
        const auto usb = co_await recorder_.request("GET#USB#");
        if (!usb) co_return notAnswering();
        const auto drives = qva_web::parseDrives(*usb);
        if (!drives) co_return unexpected();
        if (qva_web::anyRecording(*drives)) co_return refusedWhileRecording(capture->field);
    }
    for (const auto& change : changes) {
        Response response = co_await send(call, change.request, "the recorder refused this setting", change.field);
        if (response.result() != http::status::ok) co_return response;
    }
    co_return json({});
}

awaitable<Response> RequestHandler::logo(Call& call) {
    const std::string_view type(call.request[http::field::content_type].data(),
                                call.request[http::field::content_type].size());
    if (lower(type.substr(0, type.find(';'))) != "image/png")
        co_return error(http::status::bad_request, "the logo must be sent as image/png", "logo");
    if (const auto problem = qva_web::pngProblem(call.request.body()))
        co_return error(http::status::bad_request, *problem, "logo");
    auto store = [this, &call] {
        return qva::replaceFileAtomically(options_.logoPath, call.request.body().data(), call.request.body().size());
    };
    const bool stored = co_await offload(store);
    if (!stored) co_return error(http::status::internal_server_error, "the logo could not be stored", "logo");
    co_return co_await send(call, "SET#LOGO#0#1#", "the recorder did not load the logo", "logo");
}

awaitable<Response> RequestHandler::preview(Call&) {
    if (!options_.preview) co_return error(http::status::not_found, "no picture yet");
    auto convert = [this] { return options_.preview(); };
    auto picture = co_await offload(convert);
    if (!picture) co_return error(http::status::not_found, "no picture yet");
    co_return respond(http::status::ok, std::move(*picture), "image/jpeg");
}
