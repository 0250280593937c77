// The wire routes a device's library calls: the receiver's forms and the
// image host. Reports and the log server are in Reports.cpp.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#include "Limits.h"
#include "SampleImage.h"
#include "ServiceImpl.h"

namespace orvo::emulator {
namespace {

std::string mimeFor(const std::filesystem::path& path) {
  auto extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == ".png") return "image/png";
  if (extension == ".jpg" || extension == ".jpeg") return "image/jpeg";
  if (extension == ".gif") return "image/gif";
  return "application/octet-stream";
}

}  // namespace

HttpResponse Service::Impl::receiverCall(const HttpRequest& request, const std::string& endpoint) {
  Fields fields = request.query;
  const bool isLog = endpoint == "putAppLog.ctl";
  std::optional<std::string> log;
  if (isLog) {
    // The record after "log=" leaves "&", "+" and "=" unescaped, so the
    // whole rest of the body is the value; form decoding would cut it up.
    static const std::string prefix = "log=";
    if (request.body.rfind(prefix, 0) == 0)
      log = decodeFormText(std::string_view(request.body).substr(prefix.size()), false);
  } else if (isMediaType(request.header("Content-Type"), "application/x-www-form-urlencoded")) {
    auto body = decodeForm(request.body);
    fields.insert(fields.end(), std::make_move_iterator(body.begin()),
                  std::make_move_iterator(body.end()));
  }
  Form form;
  std::vector<std::string> duplicates;
  bool tooMany = false;
  for (auto& [key, value] : fields) {
    if (form.count(key)) {
      if (std::find(duplicates.begin(), duplicates.end(), key) == duplicates.end())
        duplicates.push_back(key);
    } else if (form.size() >= limits::kFormFields) {
      tooMany = true;
    } else {
      form.emplace(std::move(key), std::move(value));
    }
  }
  if (log) form["log"] = *log;
  return serve(request, endpoint, form, [=, this] {
    if (tooMany)
      return refusedEnvelope(endpoint + ": more than " + std::to_string(limits::kFormFields) +
                             " fields");
    if (isLog) return log ? handleLog(*log) : refusedEnvelope("putAppLog.ctl: missing log");
    if (!Receiver::isEndpoint(endpoint)) {
      Answer answer = envelopeAnswer(result::kNotFound);
      answer.status = 404;
      answer.notes.push_back(endpoint + ": no such receiver endpoint");
      return answer;
    }
    return receiver.handle(endpoint, form, duplicates);
  });
}

HttpResponse Service::Impl::image(const HttpRequest& request) {
  const std::string name = request.path.substr(std::string("/images/").size());
  return serve(request, "images", Form(), [=, this] {
    Answer answer;
    if (name == "sample.png") {
      answer.body.assign(reinterpret_cast<const char*>(kSampleImagePng), sizeof kSampleImagePng);
      answer.contentType = "image/png";
      return answer;
    }
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path root =
        options.assetsDir.empty() ? fs::path() : fs::canonical(options.assetsDir, error);
    const fs::path file = root.empty() ? fs::path() : fs::weakly_canonical(root / name, error);
    // Only files inside the assets folder: "../" must not reach the rest of the disk.
    const auto relative = file.lexically_relative(root).string();
    const bool found = !root.empty() && !error && !relative.empty() &&
                       relative.rfind("..", 0) != 0 && fs::is_regular_file(file, error);
    const auto size = found ? fs::file_size(file, error) : 0;
    if (!found || error || size > limits::kFile) {
      answer.status = 404;
      answer.contentType = "text/plain";
      answer.body = "no image " + name;
      answer.notes.push_back(
          "images: no file " + name + " in the assets folder" +
          (size > limits::kFile ? " of at most " + std::to_string(limits::kFile) + " bytes" : ""));
      return answer;
    }
    std::ifstream in(file, std::ios::binary);
    answer.body.assign(std::istreambuf_iterator<char>(in), {});
    answer.contentType = mimeFor(file);
    return answer;
  });
}

}  // namespace orvo::emulator
