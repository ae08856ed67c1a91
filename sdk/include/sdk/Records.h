#pragma once
// Plain records that the SDK passes by value.
#include <cstdint>
#include <string>

struct SkillRank {
    int Tier = 0;
    int Division = 0;
    int MatchesPlayed = 0;
};

struct SkillRating {
    float Mu = 25.0f;
    float Sigma = 8.333f;
};

struct TeamSettings {
    std::string Name;
    std::int32_t ColorID = 0;
    std::int32_t CustomColorID = 0;

    bool operator==(const TeamSettings&) const = default;
};

// Settings of a private match as the matchmaking calls take them.
struct CustomMatchSettings {
    std::string GameTags;
    std::string MapName;
    std::string ServerName;
    std::string Password;
    TeamSettings BlueTeamSettings;
    TeamSettings OrangeTeamSettings;
    std::int32_t ClubID = 0;
    std::int32_t MaxPlayerCount = 0;
    bool bPartyMembersOnly = false;
    bool bClubServer = false;

    bool operator==(const CustomMatchSettings&) const = default;
};
