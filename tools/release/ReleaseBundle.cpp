#include "release/ReleaseBundle.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <algorithm>
#include <boost/json/serialize.hpp>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "update/FileDigest.h"

namespace quorvin::release {

namespace {

namespace fs = std::filesystem;

void writeText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

boost::json::object artifactJson(const UpdateChecker::Artifact& artifact) {
  boost::json::object object;
  object["file"] = artifact.file;
  object["size"] = artifact.size;
  object["sha256"] = artifact.sha256;
  object["signed"] = artifact.isSigned;
  object["notarized"] = artifact.notarized;
  return object;
}

struct Writer {
  archive* a = archive_write_new();
  ~Writer() { archive_write_free(a); }
  void check(int status) const {
    if (status < ARCHIVE_WARN) throw std::runtime_error(std::string("tarball: ") + archive_error_string(a));
  }
};

void addEntry(Writer& writer, const std::string& name, mode_t type, mode_t permissions, const std::string& data,
              const std::string& link = {}, bool hardlink = false) {
  archive_entry* entry = archive_entry_new();
  archive_entry_set_pathname(entry, name.c_str());
  archive_entry_set_filetype(entry, type);
  archive_entry_set_perm(entry, permissions);
  archive_entry_set_mtime(entry, 0, 0);
  if (hardlink) {
    archive_entry_set_hardlink(entry, link.c_str());
  } else if (type == AE_IFLNK) {
    archive_entry_set_symlink(entry, link.c_str());
  }
  archive_entry_set_size(entry, type == AE_IFREG && !hardlink ? static_cast<la_int64_t>(data.size()) : 0);
  writer.check(archive_write_header(writer.a, entry));
  if (type == AE_IFREG && !hardlink && !data.empty()) {
    if (archive_write_data(writer.a, data.data(), data.size()) < 0) writer.check(ARCHIVE_FATAL);
  }
  archive_entry_free(entry);
}

}  // namespace

crypto::Ed25519Seed readSeedFile(const fs::path& path) {
  std::string text = readAll(path);
  text.erase(std::remove_if(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c); }), text.end());
  auto seed = crypto::fromHex<32>(text);
  if (!seed) throw std::runtime_error(path.string() + " does not hold a 64-digit hex Ed25519 seed");
  return *seed;
}

void writeInfo(const fs::path& bundle, const BundleInfo& info) { writeText(bundle / BundleInfo::kFile, info.serialize()); }

void signBundle(const fs::path& bundle, const crypto::Ed25519Seed& releaseKey, std::string team, bool runtime) {
  BundleSignature signature;
  signature.team = std::move(team);
  signature.runtime = runtime;
  for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
    const std::string relative = entry.path().lexically_relative(bundle).generic_string();
    const auto status = entry.symlink_status();
    if (status.type() == fs::file_type::directory) continue;
    if (status.type() != fs::file_type::regular) throw std::runtime_error("not a regular file: " + relative);
    if (relative == BundleSignature::kFile || relative == BundleNotarization::kFile) continue;
    struct stat info {};
    if (::lstat(entry.path().c_str(), &info) != 0) throw std::runtime_error("cannot stat " + relative);
    signature.files.push_back({relative, sha256OfFile(entry.path()), static_cast<uint32_t>(info.st_mode & 07777)});
  }
  std::sort(signature.files.begin(), signature.files.end(),
            [](const auto& a, const auto& b) { return a.path < b.path; });
  const auto signed_ = crypto::ed25519Sign(releaseKey, signature.canonicalBytes());
  if (!signed_) throw std::runtime_error("the release key was refused");
  signature.signature = *signed_;
  writeText(bundle / BundleSignature::kFile, signature.serialize());
}

void notarizeBundle(const fs::path& bundle, const crypto::Ed25519Seed& notaryKey) {
  const auto digest = crypto::sha256(readAll(bundle / BundleSignature::kFile));
  BundleNotarization notarization;
  notarization.signatureSha256 = crypto::hex(digest);
  const auto signed_ =
      crypto::ed25519Sign(notaryKey, std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
  if (!signed_) throw std::runtime_error("the notary key was refused");
  notarization.signature = *signed_;
  writeText(bundle / BundleNotarization::kFile, notarization.serialize());
}

void sealRelease(const fs::path& bundle, const std::string& version, const crypto::Ed25519Seed& releaseKey,
                 const crypto::Ed25519Seed& notaryKey) {
  BundleInfo info;
  info.identifier = BundleInfo::kIdentifier;
  info.executable = BundleInfo::kExecutable;
  info.shortVersion = version;
  info.uiElement = true;
  info.previewBuild = false;
  writeInfo(bundle, info);
  signBundle(bundle, releaseKey);
  notarizeBundle(bundle, notaryKey);
}

void packTarball(const fs::path& bundle, const fs::path& tarball, const std::vector<ExtraEntry>& extra) {
  Writer writer;
  archive_write_set_format_pax_restricted(writer.a);
  archive_write_add_filter_gzip(writer.a);
  writer.check(archive_write_open_filename(writer.a, tarball.c_str()));
  addEntry(writer, "Quorvin/", AE_IFDIR, 0755, {});
  std::vector<fs::path> entries;
  for (const auto& entry : fs::recursive_directory_iterator(bundle)) entries.push_back(entry.path());
  std::sort(entries.begin(), entries.end());
  for (const auto& path : entries) {
    const std::string name = "Quorvin/" + path.lexically_relative(bundle).generic_string();
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) throw std::runtime_error("cannot stat " + path.string());
    if (S_ISDIR(info.st_mode)) {
      addEntry(writer, name + "/", AE_IFDIR, info.st_mode & 07777, {});
    } else if (S_ISLNK(info.st_mode)) {
      addEntry(writer, name, AE_IFLNK, 0777, {}, fs::read_symlink(path).string());
    } else if (S_ISREG(info.st_mode)) {
      addEntry(writer, name, AE_IFREG, info.st_mode & 07777, readAll(path));
    } else {
      throw std::runtime_error("cannot pack " + path.string());
    }
  }
  for (const auto& entry : extra) {
    using Type = ExtraEntry::Type;
    switch (entry.type) {
      case Type::file:
        addEntry(writer, entry.name, AE_IFREG, 0644, entry.contentOrTarget);
        break;
      case Type::directory:
        addEntry(writer, entry.name, AE_IFDIR, 0755, {});
        break;
      case Type::symlink:
        addEntry(writer, entry.name, AE_IFLNK, 0777, {}, entry.contentOrTarget);
        break;
      case Type::hardlink:
        addEntry(writer, entry.name, AE_IFREG, 0644, {}, entry.contentOrTarget, true);
        break;
    }
  }
  writer.check(archive_write_close(writer.a));
}

UpdateChecker::Artifact describeArtifact(const fs::path& file) {
  UpdateChecker::Artifact artifact;
  artifact.file = file.filename().string();
  artifact.size = static_cast<int64_t>(fs::file_size(file));
  artifact.sha256 = sha256OfFile(file);
  artifact.isSigned = true;
  artifact.notarized = true;
  return artifact;
}

void publish(const fs::path& downloads, const std::string& version, const fs::path& tarball, const fs::path& deb,
             const fs::path& source) {
  if (!UpdateChecker::isUsableVersion(version)) throw std::runtime_error("unusable version: " + version);
  fs::create_directories(downloads);
  const std::pair<const fs::path*, std::string_view> files[] = {
      {&tarball, UpdateChecker::kTarballFile}, {&deb, UpdateChecker::kDebFile}, {&source, UpdateChecker::kSourceFile}};
  boost::json::object manifest;
  manifest["appVersion"] = version;
  manifest["verified"] = true;
  const char* keys[] = {"tarball", "deb", "source"};
  for (size_t i = 0; i < 3; ++i) {
    const fs::path target = downloads / files[i].second;
    if (fs::weakly_canonical(*files[i].first) != fs::weakly_canonical(target)) {
      fs::copy_file(*files[i].first, target, fs::copy_options::overwrite_existing);
    }
    manifest[keys[i]] = artifactJson(describeArtifact(target));
  }
  const fs::path manifestPath = downloads / UpdateChecker::kManifestFile;
  const fs::path temporary = downloads / (".manifest-" + crypto::randomHex(6) + ".json");
  writeText(temporary, boost::json::serialize(manifest) + "\n");
  fs::rename(temporary, manifestPath);
}

}  // namespace quorvin::release
