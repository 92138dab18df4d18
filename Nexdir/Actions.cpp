// GIO's headers use names that Qt's keywords would take over, so they come first.
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include "Actions.h"

#include "Paths.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <algorithm>

namespace quelmo::Actions {

namespace {

std::optional<QString> failure(GError* error) {
    if (!error) {
        return std::nullopt;
    }
    QString message = QString::fromUtf8(error->message);
    g_error_free(error);
    return message;
}

// GLib escapes every byte that is not plain ASCII, so the URI names exactly these bytes.
std::optional<QByteArray> uriFor(const std::string& path, GError** error) {
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, error);
    if (!uri) {
        return std::nullopt;
    }
    QByteArray result(uri);
    g_free(uri);
    return result;
}

std::optional<QString> launch(GAppInfo* application, const std::string& path) {
    GFile* file = g_file_new_for_path(path.c_str());
    GList* files = g_list_append(nullptr, file);
    GError* error = nullptr;
    g_app_info_launch(application, files, nullptr, &error);
    g_list_free(files);
    g_object_unref(file);
    return failure(error);
}

} // namespace

std::optional<QString> openWithDefault(const std::string& path) {
    GError* error = nullptr;
    if (auto uri = uriFor(path, &error)) {
        g_app_info_launch_default_for_uri(uri->constData(), nullptr, &error);
    }
    return failure(error);
}

std::optional<QString> showTrash(const std::string& trashFolder) {
    GError* error = nullptr;
    if (g_app_info_launch_default_for_uri("trash:///", nullptr, &error)) {
        return std::nullopt;
    }
    g_clear_error(&error);
    return openWithDefault(trashFolder + "/files");
}

namespace {

std::optional<Application> applicationOf(GAppInfo* info) {
    Application application;
    application.id = QString::fromUtf8(g_app_info_get_id(info) ? g_app_info_get_id(info) : "");
    application.name = QString::fromUtf8(g_app_info_get_display_name(info));
    if (GIcon* icon = g_app_info_get_icon(info)) {
        gchar* name = g_icon_to_string(icon);
        application.icon = QIcon::fromTheme(QString::fromUtf8(name ? name : ""));
        g_free(name);
    }
    if (application.id.isEmpty()) {
        return std::nullopt;
    }
    return application;
}

} // namespace

std::vector<Application> applicationsFor(const std::string& path) {
    std::vector<Application> applications;
    gboolean uncertain = false;
    gchar* type = g_content_type_guess(path.c_str(), nullptr, 0, &uncertain);
    GList* list = g_app_info_get_all_for_type(type);
    for (GList* item = list; item; item = item->next) {
        if (auto application = applicationOf(G_APP_INFO(item->data))) {
            applications.push_back(*application);
        }
    }
    g_list_free_full(list, g_object_unref);
    g_free(type);
    return applications;
}

std::vector<Application> installedApplications(const std::string& path) {
    std::vector<Application> applications = applicationsFor(path);
    size_t forType = applications.size();
    GList* list = g_app_info_get_all();
    for (GList* item = list; item; item = item->next) {
        auto* info = G_APP_INFO(item->data);
        if (!g_app_info_should_show(info)) {
            continue;
        }
        auto application = applicationOf(info);
        if (application && std::none_of(applications.begin(), applications.begin() + long(forType),
                                        [&](const Application& known) {
                                            return known.id == application->id;
                                        })) {
            applications.push_back(*application);
        }
    }
    g_list_free_full(list, g_object_unref);
    std::sort(applications.begin() + long(forType), applications.end(),
              [](const Application& a, const Application& b) {
                  return QString::localeAwareCompare(a.name, b.name) < 0;
              });
    return applications;
}

std::optional<QString> openWithApplication(const std::string& path, const QString& applicationID) {
    GDesktopAppInfo* info = g_desktop_app_info_new(applicationID.toUtf8().constData());
    if (!info) {
        return QString("The application is no longer installed");
    }
    auto result = launch(G_APP_INFO(info), path);
    g_object_unref(info);
    return result;
}

std::optional<QString> showInFolder(const std::string& path) {
    GError* error = nullptr;
    auto uri = uriFor(path, &error);
    if (!uri) {
        return failure(error);
    }
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1",
                                                       "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    call << QStringList{QString::fromLatin1(*uri)} << QString();
    QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        return std::nullopt;
    }
    return openWithDefault(nexdir::parentPath(path));
}

} // namespace quelmo::Actions
