import click
import sys
import logging

from badgewright import Badgewright
from scorewarden import Scorewarden
from wheelsmith import Wheelsmith

logging.basicConfig(stream=sys.stdout, level=logging.INFO)
log = logging.getLogger(__name__)


def gitlab_instance_options(function):
    function = click.option("--url", type=click.STRING,
                            help="Base url of the Gitlab Host")(function)
    function = click.option("--api-token", type=click.STRING,
                            help="Private key to gain access to the said host->Personal Access Token")(function)
    function = click.option("--project-id", type=click.STRING,
                            help="Id of the target project under the given host")(function)
    return function


def _from_job(value, variable):
    """A badge option left out takes the variable that GitLab sets in every CI job; an
    empty variable counts as unset, an option given (even as "") wins."""
    if value is not None:
        return value
    import os
    found = os.environ.get(variable)
    if not found:
        return None
    return found


@click.group()
def badgewright():
    pass


@badgewright.command()
@gitlab_instance_options
@click.option("--pipeline-id", type=click.STRING, default=None, help="Id of the current pipeline")
@click.option("--test-job-name", type=click.STRING, default=None,
              help="Name of the job from which to extract coverage")
@click.option("--version", type=click.STRING, default=None, help="Version identifier")
@click.option("--qa-value", type=click.STRING, default=None, help="Code quality score as string")
def update_badge(url, api_token, project_id, pipeline_id, test_job_name, version, qa_value):
    """
    Utility CLI to modify Gitlab badges based on https://shields.io/.
    Currently supporting version, coverage and code quality


    Coverage value will have a different color based on its value;
    [0, 30] = red; (30, 50] = yellow; (50, 70] =  light-green; (70, 100] = green 

    Code Quality value will have a different color based on its value;
    [0, 5] = red; (5, 6] = yellow; (6, 7] = light-green; (7, 10] = green
    """
    if test_job_name is None and version is None and qa_value is None:
        raise NotImplementedError("Expected at least one of test_job_name, version, qa_value")
    server = _from_job(url, "CI_SERVER_URL")
    token = _from_job(api_token, "GITLAB_TOKEN")
    project = _from_job(project_id, "CI_PROJECT_ID")
    pipeline = _from_job(pipeline_id, "CI_PIPELINE_ID")
    client = Badgewright(server, project, pipeline, token, version, qa_value)
    if test_job_name is not None:
        log.info("Updating coverage badge")
        client.update_coverage_badge(test_job_name)
    if version is not None:
        log.info("Updating version badge")
        client.update_version_badge()
    if qa_value is not None:
        log.info("Updating quality badge")
        client.update_quality_badge()
    sys.exit(0)


@badgewright.command()
@gitlab_instance_options
def setup_badges(url, api_token, project_id):
    """ Utility CLI to initialize a gitlab repository with default badges; Version, Coverage and Code Quality"""
    server = _from_job(url, "CI_SERVER_URL")
    token = _from_job(api_token, "GITLAB_TOKEN")
    project = _from_job(project_id, "CI_PROJECT_ID")
    client = Badgewright(server, project, pipeline_id="", api_token=token)
    client.create_badges_for_project()


@click.group()
@click.option("--pylint-report-path", type=click.STRING, default="",
              help="QA report txt file based on Pylint")
@click.pass_context
def scorewarden(ctx, pylint_report_path):
    ctx.obj = Scorewarden(pylint_report_path)


@scorewarden.command()
@click.pass_obj
def raise_for_code(pylint):
    """ Validate a pylint report looking for Failures or Errors"""
    try:
        pylint.validate_pylint_report()
    except Exception as e:
        log.exception(e)
        sys.exit(1)
    sys.exit(0)


@scorewarden.command()
@click.pass_obj
def get_qa_value(pylint):
    """ Returns the code's quality as a score """
    qa_value = pylint.validate_pylint_report()
    print(qa_value)


@click.group()
def wheelsmith():
    pass


@wheelsmith.command()
@click.option("--cython", is_flag=True,
              help="Flag to indicate that it is a Cython package and requires compilation")
@click.option("--clean-dist", is_flag=True,
              help="Flag to indicate that dist/ folder should be deleted first")
def build(cython, clean_dist):
    """ Builds a Python Package taking care of Cython compilation if indicated """
    import subprocess
    try:
        Wheelsmith.build(cython, clean_dist)
    except subprocess.CalledProcessError as e:
        # as click applications report errors: "Error: ..." and status 1, no traceback
        raise click.ClickException(str(e))


@wheelsmith.command()
@click.option("--user", type=click.STRING, default=None, help="Pypi Account user")
@click.option("--password", type=click.STRING, default=None, help="Pypi Account PAT")
@click.option("--pypi", type=click.Choice(["pypi", "testpypi", "custom"], case_sensitive=False),
              default="pypi", help="Target Pypi repository.")
@click.option("--repository-url", type=click.STRING, default=None,
              help="Provide full repository URL for custom Pypi")
def upload(user, password, pypi, repository_url):
    """ Uploads all wheels found under dist/ folder. """
    if pypi == "pypi":
        repository_arg = ""
    elif pypi == "testpypi":
        repository_arg = "--repository testpypi"
    else:
        # Without a URL twine would be handed the word None as the index.
        if repository_url is None:
            raise click.UsageError(
                "Missing option '--repository-url': it is required with '--pypi custom'.",
                click.get_current_context(silent=True))
        import shlex
        repository_arg = f"--repository-url {shlex.quote(f'{repository_url}')}"
    import subprocess
    try:
        Wheelsmith.upload(user, password, repository_arg)
    except subprocess.CalledProcessError as e:
        raise click.ClickException(str(e))
