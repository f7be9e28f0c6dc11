// What the built library shows the dynamic linker: exactly the two names the host looks up, and
// nothing that keeps it in memory after dlclose (a leaked unique template symbol would).
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>

namespace
{
const char *plugin_path = TFA_PLUGIN_PATH;

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <class T> const T *At(const std::string &image, uint64_t offset, uint64_t count = 1)
{
    if (offset > image.size() || count > (image.size() - offset) / sizeof(T))
        throw std::out_of_range("ELF table beyond the end of the file");
    return reinterpret_cast<const T *>(image.data() + offset);
}

// The names the dynamic symbol table defines (undefined references to other libraries left out).
std::set<std::string> DefinedDynamicSymbols(const std::string &image)
{
    const auto *header = At<Elf64_Ehdr>(image, 0);
    if (memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_ident[EI_CLASS] != ELFCLASS64)
        throw std::runtime_error("not a 64-bit ELF file");
    const auto *sections = At<Elf64_Shdr>(image, header->e_shoff, header->e_shnum);

    std::set<std::string> names;
    for (const Elf64_Shdr *section = sections; section != sections + header->e_shnum; section++) {
        if (section->sh_type != SHT_DYNSYM)
            continue;
        if (section->sh_link >= header->e_shnum)
            throw std::runtime_error("symbol table without a string table");
        const Elf64_Shdr &strings = sections[section->sh_link];
        const char *text = At<char>(image, strings.sh_offset, strings.sh_size);
        const uint64_t count = section->sh_size / sizeof(Elf64_Sym);
        const auto *symbols = At<Elf64_Sym>(image, section->sh_offset, count);
        for (const Elf64_Sym *symbol = symbols; symbol != symbols + count; symbol++) {
            if (symbol->st_shndx == SHN_UNDEF || symbol->st_name >= strings.sh_size)
                continue;
            const char *name = text + symbol->st_name;
            names.emplace(name, strnlen(name, strings.sh_size - symbol->st_name));
        }
    }
    return names;
}

TEST(PluginExports, ExactlyTheHostEntryPoints)
{
    const std::string image = ReadFile(plugin_path);
    ASSERT_FALSE(image.empty()) << plugin_path;
    const std::set<std::string> expected = {"td_plugin_abi", "tdPluginInit"};
    EXPECT_EQ(DefinedDynamicSymbols(image), expected);
}

TEST(PluginExports, DlcloseUnloads)
{
    ASSERT_EQ(dlopen(plugin_path, RTLD_NOW | RTLD_NOLOAD), nullptr) << "already loaded";
    void *handle = dlopen(plugin_path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    ASSERT_EQ(dlclose(handle), 0) << dlerror();

    void *still = dlopen(plugin_path, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(still, nullptr) << "dlclose left the library loaded";
    if (still != nullptr)
        dlclose(still);
}
} // namespace
