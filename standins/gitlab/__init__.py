"""A stand-in GitLab REST API v4 server (one project, badges and pipeline jobs)."""

from .server import GitLabServer

__all__ = ["GitLabServer"]
