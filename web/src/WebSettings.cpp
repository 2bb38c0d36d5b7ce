#include "WebSettings.h"

#include "StateFile.h"

#include <QJsonDocument>
#include <QJsonObject>

WebSettings::WebSettings(std::string stateDir) : path_(stateDir + "/settings") {
    const auto text = qva_web::readSmallFile(path_);
    if (!text) return;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(*text));
    readsOpen_ = document.object().value("readsOpen").toBool(false);
}

bool WebSettings::setReadsOpen(bool open) {
    QJsonObject settings;
    settings["readsOpen"] = open;
    if (!qva_web::writePrivateFile(path_, QJsonDocument(settings).toJson().toStdString())) return false;
    readsOpen_ = open;
    return true;
}
