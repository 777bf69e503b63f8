// The command describing its subcommands and options, for its documents.

#include "cli/self_description.hpp"

#include <nlohmann/json.hpp>

namespace quastor::cli {

namespace {

using Json = nlohmann::ordered_json;

Json options_of(CLI::App const& app)
{
    Json options = Json::array();
    Json operands = Json::array();
    for (CLI::Option const* option : app.get_options()) {
        if (option->get_group().empty())
            continue;
        if (!option->nonpositional()) {
            operands.push_back({
                {"name", option->get_name(true)},
                {"help", option->get_description()},
                {"required", option->get_required()},
                {"repeatable", option->get_items_expected_max() > 1},
            });
            continue;
        }
        Json shorts = Json::array();
        for (std::string const& name : option->get_snames())
            shorts.push_back("-" + name);
        Json longs = Json::array();
        for (std::string const& name : option->get_lnames())
            longs.push_back("--" + name);
        bool const takes_value = option->get_items_expected_max() > 0;
        options.push_back({
            {"short", std::move(shorts)},
            {"long", std::move(longs)},
            {"value", takes_value ? option->get_type_name() : std::string()},
            {"default", option->get_default_str()},
            {"help", option->get_description()},
        });
    }
    return Json{{"options", std::move(options)}, {"operands", std::move(operands)}};
}

} // namespace

std::string describe(CLI::App const& app)
{
    Json description = {{"name", app.get_name()}, {"help", app.get_description()}};
    description.update(options_of(app));
    Json commands = Json::array();
    for (CLI::App const* command : app.get_subcommands([](CLI::App const*) { return true; })) {
        Json one = {{"name", command->get_name()}, {"aliases", command->get_aliases()},
            {"help", command->get_description()}};
        one.update(options_of(*command));
        commands.push_back(std::move(one));
    }
    description["commands"] = std::move(commands);
    return description.dump(2) + "\n";
}

} // namespace quastor::cli
