// quaymark_cli: the click command groups a CI job runs: `badgewright` (project badges),
// `scorewarden` (Pylint report gate) and `wheelsmith` (wheel build and upload). The module only
// defines the groups; the console scripts of the package start them.
#include "qm/runtime.hpp"

namespace {

using namespace qm;

/* Texts *******************************************************************************/

constexpr Literal URL_HELP = "Base url of the Gitlab Host";
constexpr Literal API_TOKEN_HELP =
    "Private key to gain access to the said host->Personal Access Token";
constexpr Literal PROJECT_ID_HELP = "Id of the target project under the given host";

constexpr Literal PIPELINE_ID_HELP = "Id of the current pipeline";
constexpr Literal TEST_JOB_NAME_HELP = "Name of the job from which to extract coverage";
constexpr Literal VERSION_HELP = "Version identifier";
constexpr Literal QA_VALUE_HELP = "Code quality score as string";

constexpr const char* UPDATE_BADGE_DOC = R"(
    Utility CLI to modify Gitlab badges based on https://shields.io/.
    Currently supporting version, coverage and code quality


    Coverage value will have a different color based on its value;
    [0, 30] = red; (30, 50] = yellow; (50, 70] =  light-green; (70, 100] = green 

    Code Quality value will have a different color based on its value;
    [0, 5] = red; (5, 6] = yellow; (6, 7] = light-green; (7, 10] = green
    )";
constexpr const char* SETUP_BADGES_DOC =
    " Utility CLI to initialize a gitlab repository with default badges; Version, Coverage and "
    "Code Quality";
constexpr Literal NOTHING_TO_UPDATE =
    "Expected at least one of test_job_name, version, qa_value";

constexpr Literal PYLINT_REPORT_PATH_HELP = "QA report txt file based on Pylint";
constexpr const char* RAISE_FOR_CODE_DOC =
    " Validate a pylint report looking for Failures or Errors";
constexpr const char* GET_QA_VALUE_DOC = " Returns the code's quality as a score ";

constexpr Literal CYTHON_HELP =
    "Flag to indicate that it is a Cython package and requires compilation";
constexpr Literal CLEAN_DIST_HELP =
    "Flag to indicate that dist/ folder should be deleted first";
constexpr const char* BUILD_DOC =
    " Builds a Python Package taking care of Cython compilation if indicated ";
constexpr Literal USER_HELP = "Pypi Account user";
constexpr Literal PASSWORD_HELP = "Pypi Account PAT";
constexpr Literal PYPI_HELP = "Target Pypi repository.";
constexpr Literal REPOSITORY_URL_HELP = "Provide full repository URL for custom Pypi";
constexpr const char* UPLOAD_DOC = " Uploads all wheels found under dist/ folder. ";
constexpr Literal MISSING_REPOSITORY_URL =
    "Missing option '--repository-url': it is required with '--pypi custom'.";

/* gitlab_instance_options *************************************************************/

Object gitlab_instance_options(Handle function_) {
    Object function = Object(function_);
    function = attr(global("click"_id), "option"_id)(
        {"--url"_id, kw("type"_id, attr(global("click"_id), "STRING"_id)),
         kw("help"_id, text<URL_HELP>())})({function});
    function = attr(global("click"_id), "option"_id)(
        {"--api-token"_id, kw("type"_id, attr(global("click"_id), "STRING"_id)),
         kw("help"_id, text<API_TOKEN_HELP>())})({function});
    function = attr(global("click"_id), "option"_id)(
        {"--project-id"_id, kw("type"_id, attr(global("click"_id), "STRING"_id)),
         kw("help"_id, text<PROJECT_ID_HELP>())})({function});
    return function;
}

/* Badge group *************************************************************************/

/// A badge option left out on the command line takes the value of the variable that GitLab
/// sets in every CI job (GITLAB_TOKEN: the one its own CLI reads), so that a job needs to
/// spell out none of them. An empty variable counts as unset, and an option given, even as
/// "", wins. Read here rather than through click's `envvar=`: click 7 hands an empty
/// variable over as "", which the command could not tell from an empty option.
Object from_job(Handle value, const Name& variable) {
    if (!value.is_none()) return Object(value);
    Object os = import_local("os"_id);
    Object found = method(attr(os, "environ"_id), "get"_id)({variable});
    if (!truth(found)) return none();
    return found;
}

Object badgewright() { return none(); }

Object update_badge(Handle url, Handle api_token, Handle project_id, Handle pipeline_id,
                    Handle test_job_name, Handle version, Handle qa_value) {
    if (test_job_name.is_none() && version.is_none() && qa_value.is_none())
        raise(global("NotImplementedError"_id)({text<NOTHING_TO_UPDATE>()}));
    Object server = from_job(url, "CI_SERVER_URL"_id);
    Object token = from_job(api_token, "GITLAB_TOKEN"_id);
    Object project = from_job(project_id, "CI_PROJECT_ID"_id);
    Object pipeline = from_job(pipeline_id, "CI_PIPELINE_ID"_id);
    Object client =
        global("Badgewright"_id)({server, project, pipeline, token, version, qa_value});
    if (!test_job_name.is_none()) {
        method(global("log"_id), "info"_id)({"Updating coverage badge"_id});
        method(client, "update_coverage_badge"_id)({test_job_name});
    }
    if (!version.is_none()) {
        method(global("log"_id), "info"_id)({"Updating version badge"_id});
        method(client, "update_version_badge"_id)({});
    }
    if (!qa_value.is_none()) {
        method(global("log"_id), "info"_id)({"Updating quality badge"_id});
        method(client, "update_quality_badge"_id)({});
    }
    method(global("sys"_id), "exit"_id)({integer(0)});
    return none();
}

Object setup_badges(Handle url, Handle api_token, Handle project_id) {
    Object server = from_job(url, "CI_SERVER_URL"_id);
    Object token = from_job(api_token, "GITLAB_TOKEN"_id);
    Object project = from_job(project_id, "CI_PROJECT_ID"_id);
    Object client = global("Badgewright"_id)(
        {server, project, kw("pipeline_id"_id, ""_id), kw("api_token"_id, token)});
    method(client, "create_badges_for_project"_id)({});
    return none();
}

/* Report group ************************************************************************/

Object scorewarden(Handle ctx, Handle pylint_report_path) {
    set_attr(ctx, "obj"_id, global("Scorewarden"_id)({pylint_report_path}));
    return none();
}

Object raise_for_code(Handle pylint) {
    try {
        method(pylint, "validate_pylint_report"_id)({});
    } catch (Error& caught) {
        if (!matches(caught, global("Exception"_id))) throw;
        Handling handling(caught);
        method(global("log"_id), "exception"_id)({handling.exception()});
        method(global("sys"_id), "exit"_id)({integer(1)});
    }
    method(global("sys"_id), "exit"_id)({integer(0)});
    return none();
}

Object get_qa_value(Handle pylint) {
    Object qa_value = method(pylint, "validate_pylint_report"_id)({});
    global("print"_id)({qa_value});
    return none();
}

/* Packaging group *********************************************************************/

/// `except subprocess.CalledProcessError as e: raise click.ClickException(str(e))` around
/// the packaging calls: reports the error as click applications do ("Error: ..." on
/// standard error, status 1, no traceback). The error's text names the failed command with
/// its password already masked.
template <typename Call>
void reporting_failed_command(Handle subprocess, Call call) {
    try {
        call();
    } catch (Error& caught) {
        if (!matches(caught, attr(subprocess, "CalledProcessError"_id))) throw;
        Handling handling(caught);
        Object exception = attr(global("click"_id), "ClickException"_id);
        raise(exception({global("str"_id)({handling.exception()})}));
    }
}

Object wheelsmith() { return none(); }

Object build(Handle cython, Handle clean_dist) {
    Object subprocess = import_local("subprocess"_id);
    reporting_failed_command(subprocess, [&] {
        method(global("Wheelsmith"_id), "build"_id)({cython, clean_dist});
    });
    return none();
}

Object upload(Handle user, Handle password, Handle pypi, Handle repository_url) {
    Object repository_arg;
    if (eq(pypi, "pypi"_id)) {
        repository_arg = Object(""_id);
    } else if (eq(pypi, "testpypi"_id)) {
        repository_arg = Object("--repository testpypi"_id);
    } else {
        // Without a URL twine would be handed the word None as the index.
        if (repository_url.is_none()) {
            Object usage_error = attr(global("click"_id), "UsageError"_id);
            raise(usage_error(
                {text<MISSING_REPOSITORY_URL>(),
                 attr(global("click"_id), "get_current_context"_id)({kw("silent"_id, boolean(true))})}));
        }
        Object shlex = import_local("shlex"_id);
        repository_arg =
            fstr({"--repository-url ", attr(shlex, "quote"_id)({fstr({repository_url})})});
    }
    Object subprocess = import_local("subprocess"_id);
    reporting_failed_command(subprocess, [&] {
        method(global("Wheelsmith"_id), "upload"_id)({user, password, repository_arg});
    });
    return none();
}

/* module body *************************************************************************/

/// click.option(decl, type=click.STRING, default=default_, help=help)
template <Literal Help>
Object string_option(const Name& decl, Handle default_) {
    return attr(global("click"_id), "option"_id)(
        {decl, kw("type"_id, attr(global("click"_id), "STRING"_id)), kw("default"_id, default_),
         kw("help"_id, text<Help>())});
}

/// click.option(decl, is_flag=True, help=help)
template <Literal Help>
Object flag_option(const Name& decl) {
    return attr(global("click"_id), "option"_id)(
        {decl, kw("is_flag"_id, boolean(true)), kw("help"_id, text<Help>())});
}

void body() {
    import("click"_id);
    import("sys"_id);
    import("logging"_id);
    import_from("badgewright"_id, "Badgewright"_id);
    import_from("scorewarden"_id, "Scorewarden"_id);
    import_from("wheelsmith"_id, "Wheelsmith"_id);
    {
        Object basic_config = attr(global("logging"_id), "basicConfig"_id);
        basic_config({kw("stream"_id, attr(global("sys"_id), "stdout"_id)),
                      kw("level"_id, attr(global("logging"_id), "INFO"_id))});
    }
    set_global("log"_id, attr(global("logging"_id), "getLogger"_id)({global("__name__"_id)}));

    set_global("gitlab_instance_options"_id,
               def<gitlab_instance_options>("gitlab_instance_options", {"function"}));

    // Each definition evaluates its decorators top to bottom, then makes the function and
    // applies them bottom-up, as a decorated def does.
    {
        Object group = attr(global("click"_id), "group"_id)({});
        set_global("badgewright"_id, group({def<badgewright>("badgewright", {})}));
    }
    {
        Object command = method(global("badgewright"_id), "command"_id)({});
        Object instance_options = global("gitlab_instance_options"_id);
        Object pipeline_id = string_option<PIPELINE_ID_HELP>("--pipeline-id"_id, none());
        Object test_job_name = string_option<TEST_JOB_NAME_HELP>("--test-job-name"_id, none());
        Object version = string_option<VERSION_HELP>("--version"_id, none());
        Object qa_value = string_option<QA_VALUE_HELP>("--qa-value"_id, none());
        Object function = def<update_badge>(
            "update_badge",
            {"url", "api_token", "project_id", "pipeline_id", "test_job_name", "version",
             "qa_value"},
            {.doc = UPDATE_BADGE_DOC});
        function = qa_value({function});
        function = version({function});
        function = test_job_name({function});
        function = pipeline_id({function});
        function = instance_options({function});
        set_global("update_badge"_id, command({function}));
    }
    {
        Object command = method(global("badgewright"_id), "command"_id)({});
        Object instance_options = global("gitlab_instance_options"_id);
        Object function = def<setup_badges>("setup_badges", {"url", "api_token", "project_id"},
                                            {.doc = SETUP_BADGES_DOC});
        function = instance_options({function});
        set_global("setup_badges"_id, command({function}));
    }

    {
        Object group = attr(global("click"_id), "group"_id)({});
        Object report_path =
            string_option<PYLINT_REPORT_PATH_HELP>("--pylint-report-path"_id, ""_id);
        Object pass_context = attr(global("click"_id), "pass_context"_id);
        Object function = def<scorewarden>("scorewarden", {"ctx", "pylint_report_path"});
        function = pass_context({function});
        function = report_path({function});
        set_global("scorewarden"_id, group({function}));
    }
    {
        Object command = method(global("scorewarden"_id), "command"_id)({});
        Object pass_obj = attr(global("click"_id), "pass_obj"_id);
        Object function =
            def<raise_for_code>("raise_for_code", {"pylint"}, {.doc = RAISE_FOR_CODE_DOC});
        function = pass_obj({function});
        set_global("raise_for_code"_id, command({function}));
    }
    {
        Object command = method(global("scorewarden"_id), "command"_id)({});
        Object pass_obj = attr(global("click"_id), "pass_obj"_id);
        Object function = def<get_qa_value>("get_qa_value", {"pylint"}, {.doc = GET_QA_VALUE_DOC});
        function = pass_obj({function});
        set_global("get_qa_value"_id, command({function}));
    }

    {
        Object group = attr(global("click"_id), "group"_id)({});
        set_global("wheelsmith"_id, group({def<wheelsmith>("wheelsmith", {})}));
    }
    {
        Object command = method(global("wheelsmith"_id), "command"_id)({});
        Object cython = flag_option<CYTHON_HELP>("--cython"_id);
        Object clean_dist = flag_option<CLEAN_DIST_HELP>("--clean-dist"_id);
        Object function = def<build>("build", {"cython", "clean_dist"}, {.doc = BUILD_DOC});
        function = clean_dist({function});
        set_global("build"_id, command({cython({function})}));
    }
    {
        Object command = method(global("wheelsmith"_id), "command"_id)({});
        Object user = string_option<USER_HELP>("--user"_id, none());
        Object password = string_option<PASSWORD_HELP>("--password"_id, none());
        Object pypi = attr(global("click"_id), "option"_id)(
            {"--pypi"_id,
             kw("type"_id, attr(global("click"_id), "Choice"_id)(
                               {make_list({"pypi"_id, "testpypi"_id, "custom"_id}),
                                kw("case_sensitive"_id, boolean(false))})),
             kw("default"_id, "pypi"_id), kw("help"_id, text<PYPI_HELP>())});
        Object repository_url = string_option<REPOSITORY_URL_HELP>("--repository-url"_id, none());
        Object function = def<upload>("upload", {"user", "password", "pypi", "repository_url"},
                                      {.doc = UPLOAD_DOC});
        function = repository_url({function});
        function = pypi({function});
        function = password({function});
        set_global("upload"_id, command({user({function})}));
    }
}

}  // namespace

QM_MODULE(quaymark_cli, body)
